// A file or folder the packer holds open, with one owner: a POSIX file
// descriptor, or on Windows a HANDLE together with the UTF-16 path it was
// opened by (Win32 opens by path only, so what lies inside an open folder is
// opened by the folder's path and then checked against what was found).
// The Windows side keeps <windows.h> out of this header: the floors above
// include it and must not see the system's macros.
#pragma once

#ifdef _WIN32
#include <cstdint>
#include <string>
#else
#include <unistd.h>
#endif

#include <utility>

namespace korvanthelm::pack {

#ifdef _WIN32

class UniqueFd {
  public:
    using Handle = void*;  // HANDLE
    // INVALID_HANDLE_VALUE, what CreateFileW returns on failure.
    static Handle Empty() { return reinterpret_cast<Handle>(~static_cast<std::uintptr_t>(0)); }

    UniqueFd() = default;
    UniqueFd(Handle handle, std::wstring path) : handle_(handle), path_(std::move(path)) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept
        : handle_(std::exchange(other.handle_, Empty())), path_(std::move(other.path_)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.handle_, Empty()));
            path_ = std::move(other.path_);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Empty(); }
    Handle release() { return std::exchange(handle_, Empty()); }
    // Closes the handle held (keeping the thread's last-error value).
    void reset(Handle handle = Empty());
    // The path the handle was opened by, for opening what lies inside it.
    const std::wstring& path() const { return path_; }

  private:
    Handle handle_ = Empty();
    std::wstring path_;
};

#else

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

#endif

}  // namespace korvanthelm::pack
