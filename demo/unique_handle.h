// Owners for the kernel objects the demo programs hold. The demo stands for the
// launcher's own programs, which ship apart from the bootstrapper, so it keeps
// its own small owner instead of borrowing the bootstrapper's platform layer.
#pragma once

#include <windows.h>

#include <utility>

namespace korvanthelm::demo {

// Move-only; closes once. Closing keeps the thread's last-error value, so an
// error code read after the owner has gone is still the failing call's.
// Traits: `Value`, `static Value Empty()`, `static void Close(Value)`.
template <class Traits>
class UniqueHandle {
  public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Value get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::Empty(); }
    Value release() noexcept { return std::exchange(value_, Traits::Empty()); }
    void reset(Value value = Traits::Empty()) noexcept {
        const Value old = std::exchange(value_, value);
        if (old != Traits::Empty()) {
            const DWORD error = GetLastError();
            Traits::Close(old);
            SetLastError(error);
        }
    }

  private:
    Value value_ = Traits::Empty();
};

struct FileTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Value value) noexcept { CloseHandle(value); }
};
struct ModuleTraits {
    using Value = HMODULE;
    static Value Empty() noexcept { return nullptr; }
    static void Close(Value value) noexcept { FreeLibrary(value); }
};

// CreateFileW results: empty is INVALID_HANDLE_VALUE.
using UniqueFile = UniqueHandle<FileTraits>;
// LoadLibraryExW results: empty is nullptr.
using UniqueModule = UniqueHandle<ModuleTraits>;

}  // namespace korvanthelm::demo
