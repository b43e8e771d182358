#include "tests/windows/test_support.h"

#include <bcrypt.h>

#include <stdexcept>

namespace korvanthelm::testing {

std::string ToUtf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    return bytes;
}

std::wstring FromUtf8(const std::string& text) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.rfind(L'\\'));
}

std::wstring UniqueName(const std::wstring& prefix) {
    unsigned char bytes[8] = {};
    BCryptGenRandom(nullptr, bytes, sizeof(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    std::wstring name = prefix;
    for (const unsigned char byte : bytes) {
        name += L"0123456789abcdef"[byte >> 4];
        name += L"0123456789abcdef"[byte & 15];
    }
    return name;
}

std::wstring Sha256Hex(const std::string& bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                   static_cast<ULONG>(bytes.size()), 0);
    BCryptFinishHash(hash, digest, sizeof(digest), 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    std::wstring text;
    for (const unsigned char byte : digest) {
        text += L"0123456789abcdef"[byte >> 4];
        text += L"0123456789abcdef"[byte & 15];
    }
    return text;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void MakeDirectories(const std::wstring& path) {
    for (std::size_t i = path.find(L'\\', 3); i != std::wstring::npos;
         i = path.find(L'\\', i + 1)) {
        CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create " + ToUtf8(path));
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != bytes.size()) {
        throw std::runtime_error("cannot write " + ToUtf8(path));
    }
}

std::string ReadBytes(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string("<missing>");
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty()) {
        ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    }
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

void ForceRemoveTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        WIN32_FIND_DATAW entry;
        const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") {
                    ForceRemoveTree(path + L"\\" + name);
                }
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
    }
    RemoveDirectoryW(path.c_str());
}

TempDir::TempDir() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp, length) + UniqueName(L"kt-test-");
    MakeDirectories(path_);
}

TempDir::~TempDir() {
    ForceRemoveTree(path_);
}

namespace {

void SnapshotInto(const std::wstring& root, const std::wstring& relative,
                  std::map<std::wstring, std::string>& out) {
    WIN32_FIND_DATAW entry;
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            out[child] = "<dir>";
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                SnapshotInto(root, child, out);
            }
        } else {
            out[child] = ReadBytes(root + L"\\" + child);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

std::wstring EnvironmentBlock(const std::vector<EnvChange>& changes) {
    std::wstring block;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; *p != L'\0'; p += wcslen(p) + 1) {
        const std::wstring entry = p;
        bool replaced = false;
        for (const EnvChange& change : changes) {
            replaced |=
                entry.size() > change.name.size() && entry[change.name.size()] == L'=' &&
                CompareStringOrdinal(entry.c_str(), static_cast<int>(change.name.size()),
                                     change.name.c_str(), static_cast<int>(change.name.size()),
                                     TRUE) == CSTR_EQUAL;
        }
        if (!replaced) {
            block += entry + L'\0';
        }
    }
    FreeEnvironmentStringsW(strings);
    for (const EnvChange& change : changes) {
        if (!change.unset) {
            block += change.name + L"=" + change.value + L'\0';
        }
    }
    return block + L'\0';
}

}  // namespace

std::map<std::wstring, std::string> Snapshot(const std::wstring& root) {
    std::map<std::wstring, std::string> out;
    SnapshotInto(root, std::wstring(), out);
    return out;
}

RunResult Run(const std::wstring& command_line, const std::vector<EnvChange>& env,
              DWORD timeout_ms) {
    RunResult result;
    std::wstring block = EnvironmentBlock(env);
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring output_path = std::wstring(temp, length) + UniqueName(L"kt-out-");
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    const HANDLE output = CreateFileW(output_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      &inherit, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::wstring mutable_command = command_line;
    // Wine under load now and then fails a start with ERROR_INTERNAL_ERROR.
    for (int attempt = 0; attempt < 5; ++attempt) {
        result.started = CreateProcessW(nullptr, mutable_command.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup,
                                        &process) != FALSE;
        result.error = result.started ? 0 : GetLastError();
        if (result.started || result.error != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(200);
    }
    if (result.started) {
        if (WaitForSingleObject(process.hProcess, timeout_ms) != WAIT_OBJECT_0) {
            result.timed_out = true;
            TerminateProcess(process.hProcess, 999);
            WaitForSingleObject(process.hProcess, INFINITE);
        }
        GetExitCodeProcess(process.hProcess, &result.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        LARGE_INTEGER size = {};
        GetFileSizeEx(output, &size);
        result.output.resize(static_cast<std::size_t>(size.QuadPart));
        SetFilePointer(output, 0, nullptr, FILE_BEGIN);
        DWORD read = 0;
        if (!result.output.empty()) {
            ReadFile(output, result.output.data(), static_cast<DWORD>(result.output.size()), &read,
                     nullptr);
        }
        result.output.resize(read);
    }
    CloseHandle(output);
    return result;
}

std::wstring QuoteArgument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
        } else {
            // Backslashes before a quote are doubled, the quote escaped.
            if (unit == L'"') {
                quoted.append(backslashes + 1, L'\\');
            }
            backslashes = 0;
        }
        quoted += unit;
    }
    // ...and so are those before the closing quote.
    quoted.append(backslashes, L'\\');
    return quoted + L'"';
}

WatchedRun RunWatched(const std::wstring& exe, const std::vector<EnvChange>& env,
                      const std::wstring& arguments, const std::wstring& at_box) {
    std::wstring command = QuoteArgument(ExeDirectory() + L"\\watcher.exe");
    if (!at_box.empty()) {
        command += L" --at-box " + QuoteArgument(at_box);
    }
    for (const EnvChange& change : env) {
        command += change.unset ? L" --unset " + QuoteArgument(change.name)
                                : L" --env " + QuoteArgument(change.name + L"=" + change.value);
    }
    command += L" -- " + QuoteArgument(exe);
    if (!arguments.empty()) {
        command += L" " + arguments;
    }
    const RunResult run = Run(command);
    WatchedRun watched;
    watched.exit_code = run.timed_out ? 999 : run.exit_code;
    std::size_t start = 0;
    for (std::size_t end = run.output.find('\n'); end != std::string::npos;
         end = run.output.find('\n', start)) {
        watched.messages.push_back(run.output.substr(start, end - start));
        start = end + 1;
    }
    return watched;
}

}  // namespace korvanthelm::testing
