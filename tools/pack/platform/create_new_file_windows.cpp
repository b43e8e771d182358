#include "tools/pack/platform/create_new_file.h"

#include <windows.h>

#include <random>

#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

// 62^6 names: a clash is rare, a hundred in a row means something else is wrong.
constexpr int kAttempts = 100;
constexpr std::string_view kLetters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

}  // namespace

UniqueFd CreateNewFile(const std::string& before, const std::string& after, std::string& created,
                       int& error) {
    // random_device is the system's generator (rand_s) with this runtime.
    std::random_device device;
    std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string name = before;
        for (int i = 0; i < 6; ++i) {
            name.push_back(kLetters[pick(device)]);
        }
        name += after;
        const std::wstring wide = WidePath(name);
        // Shared for reading only: nobody writes, renames or removes it meanwhile.
        UniqueFd file(
            CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                        /*security=*/nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        /*template=*/nullptr),
            wide);
        if (file) {
            created = std::move(name);
            error = 0;
            return file;
        }
        const DWORD last = GetLastError();
        if (last != ERROR_FILE_EXISTS && last != ERROR_ALREADY_EXISTS) {
            error = static_cast<int>(last);
            return {};
        }
    }
    error = ERROR_FILE_EXISTS;
    return {};
}

}  // namespace korvanthelm::pack
