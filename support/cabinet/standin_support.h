// What the stand-in cabinet.dll's parts share: failing the way the
// Compression API does, the test switches read from the caller's
// environment, the call log, and the list of open handles.
#pragma once

#include <windows.h>

#include <new>
#include <string>
#include <unordered_set>

// mingw-w64's winerror.h lacks it; the value is Windows' own.
#ifndef ERROR_BAD_COMPRESSION_BUFFER
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace korvanthelm::standin {

inline BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The variable from the calling process's environment; empty when unset or
// longer than any switch.
inline std::wstring Variable(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    return length == 0 || length >= 1024 ? std::wstring() : std::wstring(buffer, length);
}

// Appends "<call> ok" or "<call> failed" to the file KORVANTHELM_STANDIN_LOG
// names, if any, so a test can see which calls were made; keeps the caller's
// last error.
inline BOOL Logged(const char* call, BOOL result) {
    const DWORD error = GetLastError();
    const std::wstring path = Variable(L"KORVANTHELM_STANDIN_LOG");
    if (!path.empty()) {
        HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            const std::string line = std::string(call) + (result ? " ok\n" : " failed\n");
            DWORD written = 0;
            WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(file);
        }
    }
    SetLastError(error);
    return result;
}

// The open handles of one kind: heap objects registered while open, so an
// unknown, closed or null handle (or one of the other kind) is refused
// instead of used. A lock, because a caller may use several handles from
// several threads.
template <class Object>
class HandleRegistry {
  public:
    bool Add(Object* object) {
        Lock lock(lock_);
        try {
            return open_.insert(object).second;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    bool Contains(Object* object) {
        Lock lock(lock_);
        return open_.count(object) != 0;
    }
    bool Remove(Object* object) {
        Lock lock(lock_);
        return open_.erase(object) != 0;
    }

  private:
    class Lock {
      public:
        explicit Lock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
        ~Lock() { ReleaseSRWLockExclusive(&lock_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        SRWLOCK& lock_;
    };

    SRWLOCK lock_ = SRWLOCK_INIT;
    std::unordered_set<Object*> open_;
};

}  // namespace korvanthelm::standin
