// One owner type for every platform resource the program acquires: a move-only
// holder that knows its type's empty value and closes exactly once.
//
// Traits provide `Value`, `static Value Empty()` and `void Close(Value) const`.
// Traits may carry state (a close function taken from a DLL loaded at run
// time); stateless traits cost nothing. Closing keeps the thread's last-error
// value, so a caller can read GetLastError after an owner went out of scope.
#pragma once

#include <windows.h>

#include <utility>

namespace korvanthelm {

template <class Traits>
class UniqueResource : private Traits {
  public:
    using Value = typename Traits::Value;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Value value, Traits traits = Traits()) noexcept
        : Traits(std::move(traits)), value_(value) {}
    UniqueResource(UniqueResource&& other) noexcept
        : Traits(static_cast<Traits&&>(other)), value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
            static_cast<Traits&>(*this) = static_cast<Traits&&>(other);
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

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

    // For APIs that return the resource through an out pointer: the current
    // value is closed first so nothing leaks when an owner is reused.
    Value* put() noexcept {
        reset();
        return &value_;
    }

    const Traits& traits() const noexcept { return *this; }

  private:
    Value value_ = Traits::Empty();
};

struct FileTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
    void Close(Value value) const noexcept { CloseHandle(value); }
};
struct HandleTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return nullptr; }
    void Close(Value value) const noexcept { CloseHandle(value); }
};
struct FindTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
    void Close(Value value) const noexcept { FindClose(value); }
};
struct ModuleTraits {
    using Value = HMODULE;
    static Value Empty() noexcept { return nullptr; }
    void Close(Value value) const noexcept { FreeLibrary(value); }
};

// CreateFileW results: empty is INVALID_HANDLE_VALUE.
using UniqueFile = UniqueResource<FileTraits>;
// Process and thread handles: empty is nullptr.
using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueFind = UniqueResource<FindTraits>;
using UniqueModule = UniqueResource<ModuleTraits>;

}  // namespace korvanthelm
