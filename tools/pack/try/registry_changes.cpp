#include "tools/pack/try/registry_changes.h"

#include <algorithm>

namespace korvanthelm::pack {
namespace {

// "[Software\\\\Wine] 1796843527": the name between the brackets, each
// doubled backslash one separator. The time after the last ']' is Wine's.
std::string KeyName(std::string_view line) {
    const std::size_t end = line.rfind(']');
    const std::string_view escaped = line.substr(1, end == std::string_view::npos ? 0 : end - 1);
    std::string name;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        name += escaped[i];
        if (escaped[i] == '\\' && i + 1 < escaped.size() && escaped[i + 1] == '\\') {
            ++i;
        }
    }
    return name;
}

// Where Wine keeps what it finds of the machine at every start: display
// adapters and monitors (with the time it found them), devices, network
// cards. Rewritten by each run, and no set-up program's business.
constexpr std::string_view kMachineKeys[] = {
    "System\\CurrentControlSet\\Control\\Class\\",
    "System\\CurrentControlSet\\Control\\DeviceClasses\\",
    "System\\CurrentControlSet\\Control\\Video\\",
    "System\\CurrentControlSet\\Enum\\",
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
};

bool IsMachineKey(std::string_view name) {
    for (const std::string_view prefix : kMachineKeys) {
        if (name.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

}  // namespace

RegistryKeys ReadRegistryFile(std::string_view text) {
    RegistryKeys keys;
    std::vector<std::string>* values = nullptr;
    std::string pending;  // a value whose line ends in '\' goes on
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (!pending.empty()) {
            while (line.starts_with(' ')) {
                line.remove_prefix(1);
            }
            pending += line;
        } else if (line.starts_with('[')) {
            const std::string name = KeyName(line);
            values = IsMachineKey(name) ? nullptr : &keys[name];
            continue;
        } else if (values != nullptr && (line.starts_with('"') || line.starts_with('@'))) {
            pending = line;
        } else {
            continue;
        }
        if (pending.ends_with('\\')) {
            pending.pop_back();
            continue;
        }
        values->push_back(std::move(pending));
        pending.clear();
    }
    for (auto& [name, key_values] : keys) {
        std::sort(key_values.begin(), key_values.end());
    }
    return keys;
}

std::vector<std::string> ChangedRegistryKeys(const RegistryKeys& before,
                                             const RegistryKeys& after) {
    std::vector<std::string> changed;
    auto old_key = before.begin();
    auto new_key = after.begin();
    while (old_key != before.end() || new_key != after.end()) {
        if (new_key == after.end() ||
            (old_key != before.end() && old_key->first < new_key->first)) {
            if (!old_key->second.empty()) {
                changed.push_back(old_key->first);  // removed with its values
            }
            ++old_key;
        } else if (old_key == before.end() || new_key->first < old_key->first) {
            changed.push_back(new_key->first);  // added
            ++new_key;
        } else {
            if (old_key->second != new_key->second) {
                changed.push_back(new_key->first);
            }
            ++old_key;
            ++new_key;
        }
    }
    return changed;
}

}  // namespace korvanthelm::pack
