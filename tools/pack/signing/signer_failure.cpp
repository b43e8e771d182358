#include "tools/pack/signing/signer_failure.h"

#include <cstdint>
#include <string_view>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/system_error_text.h"
#include "tools/pack/signing/signing_password.h"

namespace korvanthelm::pack {

std::string SignerReason(const std::string& output) {
    std::vector<std::string_view> lines;
    std::string_view rest(output);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (!line.empty() && line != "Failed" && line.find("Engine \"") != 0) {
            lines.push_back(line);
        }
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    if (lines.empty()) {
        return "no reason given";
    }
    // The last line: a tool says what finally went wrong at the end (a PIN
    // prompt or progress comes first).
    return PrintablePath(lines.back().substr(0, 200));
}

std::string TimestampFailureReason(const std::string& output) {
    const auto says = [&](std::string_view text) { return output.find(text) != std::string::npos; };
    constexpr std::string_view kStatus = "Timestamping failed: status ";
    if (const std::size_t at = output.find(kStatus); at != std::string::npos) {
        const std::size_t digits = at + kStatus.size();
        std::size_t end = digits;
        while (end < output.size() && end - digits < 3 && output[end] >= '0' &&
               output[end] <= '9') {
            ++end;
        }
        return "the server refused to timestamp (status " + output.substr(digits, end - digits) +
               ")";
    }
    if (says("Failed to convert timestamp reply")) {
        return "the reply is not an RFC 3161 timestamp reply";
    }
    if (says("Connection refused")) {
        return "the connection was refused";
    }
    if (says("timed out") || says("Timeout")) {
        return "no reply in time";
    }
    return SignerReason(output);
}

std::string OsslsigncodeFailure(const std::string& output) {
    if (output.find("PIN incorrect") != std::string::npos ||
        output.find("CKR_PIN_INCORRECT") != std::string::npos ||
        output.find("Login failed") != std::string::npos) {
        return "the token refused the PIN: " + CheckSigningPasswordHint();
    }
    if (output.find("PIN locked") != std::string::npos) {
        return "the token's PIN is locked";
    }
    return "osslsigncode could not sign: " + SignerReason(output);
}

void RequireRoomForSignersCopy(const std::string& signer, const std::string& what,
                               const std::string& input_path, const std::string& written_path) {
    std::uint64_t input_size = 0;
    try {
        input_size = OpenRegularFile(input_path, kMaxInputFileSize).size;
    } catch (const PackError&) {
        return;
    }
    // The signers' copies are made as FOLDER/NAME (TemporaryFile).
    const std::size_t slash = written_path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : written_path.substr(0, slash);
    int error = 0;
    // The copy holds the whole input and more: one byte more is a floor.
    if (!FolderHasRoomFor(folder.empty() ? "/" : folder, input_size + 1, error)) {
        throw PackError(signer + " could not write the " + what + " \"" +
                        PrintablePath(written_path) + "\": " + SystemErrorText(error));
    }
}

}  // namespace korvanthelm::pack
