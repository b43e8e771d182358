#include "tools/pack/signing/sign_executable.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/check_authenticode_signature.h"
#include "tools/pack/pe/pe_headers.h"
#include "tools/pack/platform/file_io.h"
#include "tools/pack/platform/unique_fd.h"

extern char** environ;

namespace korvanthelm::pack {
namespace {

constexpr char kPasswordVariable[] = "KORVANTHELM_SIGN_PASSWORD";
// A timestamp server that fails once often answers the next time; one that
// fails three times in a row is given up for the next one.
constexpr int kTimestampAttempts = 3;
// The descriptor osslsigncode reads the password from (-readpass /dev/fd/3).
constexpr int kPasswordFd = 3;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct Pkcs12Free {
    void operator()(PKCS12* p12) const { PKCS12_free(p12); }
};
using UniqueBio = std::unique_ptr<BIO, BioFree>;
using UniqueX509 = std::unique_ptr<X509, X509Free>;
using UniqueKey = std::unique_ptr<EVP_PKEY, KeyFree>;
using UniquePkcs12 = std::unique_ptr<PKCS12, Pkcs12Free>;

std::optional<std::string> Password() {
    const char* value = std::getenv(kPasswordVariable);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

UniqueBio OpenFile(const std::string& path, const char* what) {
    UniqueBio bio(BIO_new_file(path.c_str(), "rb"));
    if (!bio) {
        throw PackError(std::string("cannot read the ") + what + " \"" + path + "\"");
    }
    return bio;
}

int PasswordCallback(char* buffer, int size, int, void* password) {
    const auto* text = static_cast<const std::optional<std::string>*>(password);
    if (!*text || static_cast<int>((*text)->size()) > size) {
        return -1;
    }
    std::memcpy(buffer, (*text)->data(), (*text)->size());
    return static_cast<int>((*text)->size());
}

std::string Refused(const char* what) {
    return std::string("the ") + what + " refused the password: check " + kPasswordVariable +
           (Password() ? "" : " (it is not set)");
}

// The signing certificate, with the key files opened the way osslsigncode
// will open them, so that a wrong password is named here in one line.
UniqueX509 LoadCertificate(const SigningOptions& options) {
    const std::optional<std::string> password = Password();
    UniqueBio bio = OpenFile(options.cert, "certificate");
    UniqueX509 certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (certificate) {
        if (options.pkcs11_module.empty()) {
            UniqueBio key_bio = OpenFile(options.key, "key");
            UniqueKey key(
                PEM_read_bio_PrivateKey(key_bio.get(), nullptr, PasswordCallback,
                                        const_cast<std::optional<std::string>*>(&password)));
            ERR_clear_error();
            if (!key) {
                throw PackError(Refused("key") + ", or \"" + options.key + "\" is no PEM key");
            }
            if (X509_check_private_key(certificate.get(), key.get()) != 1) {
                ERR_clear_error();
                throw PackError("the key \"" + options.key +
                                "\" does not belong to the certificate \"" + options.cert + "\"");
            }
        }
        return certificate;
    }
    ERR_clear_error();
    if (!options.key.empty()) {
        throw PackError("the certificate \"" + options.cert + "\" is not a PEM certificate");
    }
    bio = OpenFile(options.cert, "certificate");
    UniquePkcs12 p12(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!p12) {
        ERR_clear_error();
        throw PackError("\"" + options.cert + "\" is neither a PEM certificate nor a PKCS#12 file");
    }
    EVP_PKEY* key = nullptr;
    X509* parsed = nullptr;
    const bool opened =
        PKCS12_parse(p12.get(), password ? password->c_str() : "", &key, &parsed, nullptr) == 1;
    ERR_clear_error();
    UniqueKey key_owner(key);
    certificate.reset(parsed);
    if (!opened || !certificate) {
        throw PackError(Refused("PKCS#12 file"));
    }
    return certificate;
}

std::string TimeText(const ASN1_TIME* time) {
    UniqueBio bio(BIO_new(BIO_s_mem()));
    ASN1_TIME_print(bio.get(), time);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

// SOURCE_DATE_EPOCH when set (the build's reproducible signing time), else now.
std::optional<std::time_t> SourceDateEpoch() {
    const char* value = std::getenv("SOURCE_DATE_EPOCH");
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(value, &end, 10);
    if (errno != 0 || *end != '\0' || seconds < 0) {
        throw PackError(std::string("SOURCE_DATE_EPOCH is not a number of seconds: \"") + value +
                        "\"");
    }
    return static_cast<std::time_t>(seconds);
}

void RequireSigningTimeInValidity(const X509* certificate, std::time_t when, bool from_epoch) {
    std::time_t at = when;
    const ASN1_TIME* not_before = X509_get0_notBefore(certificate);
    const ASN1_TIME* not_after = X509_get0_notAfter(certificate);
    if (X509_cmp_time(not_before, &at) < 0 && X509_cmp_time(not_after, &at) > 0) {
        return;
    }
    ASN1_TIME* moment = ASN1_TIME_set(nullptr, when);
    const std::string text = TimeText(moment);
    ASN1_TIME_free(moment);
    throw PackError("the signing time " + text + (from_epoch ? " (SOURCE_DATE_EPOCH)" : "") +
                    " is outside the certificate's validity, " + TimeText(not_before) + " to " +
                    TimeText(not_after));
}

// A file in `folder` that is removed again with this object.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::string& folder) {
        std::string pattern = folder + "/.korvanthelm-signing-XXXXXX.exe";
        const int fd = ::mkstemps(pattern.data(), 4);
        if (fd < 0) {
            throw PackError("cannot create a temporary file in \"" + folder +
                            "\": " + std::strerror(errno));
        }
        ::close(fd);
        path_ = pattern;
    }
    ~TemporaryFile() { ::unlink(path_.c_str()); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct ProgramRun {
    int status;          // the exit code, or 128 + signal, or -1 when it did not start
    std::string output;  // its standard output and error together
};

// Runs `argv` (found on PATH) with standard input closed and its output
// collected. With a password, the child finds it on descriptor 3; the
// password then also leaves the child's environment.
ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::optional<std::string>& password, bool keep_password_variable) {
    int output_pipe[2];
    int password_pipe[2] = {-1, -1};
    if (::pipe(output_pipe) != 0 || (password && ::pipe(password_pipe) != 0)) {
        throw PackError(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    UniqueFd output_read(output_pipe[0]), output_write(output_pipe[1]);
    UniqueFd password_read(password_pipe[0]), password_write(password_pipe[1]);
    ::fcntl(output_read.get(), F_SETFD, FD_CLOEXEC);
    if (password_write) {
        ::fcntl(password_write.get(), F_SETFD, FD_CLOEXEC);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output_write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, output_write.get(), 2);
    if (password_read) {
        posix_spawn_file_actions_adddup2(&actions, password_read.get(), kPasswordFd);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (keep_password_variable ||
            std::strncmp(*variable, "KORVANTHELM_SIGN_PASSWORD=", 26) != 0) {
            environment.push_back(*variable);
        }
    }
    environment.push_back(nullptr);
    pid_t child = 0;
    const int error =
        posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    output_write.reset();
    password_read.reset();
    if (error != 0) {
        return {-1, std::string("cannot start ") + argv[0] + ": " + std::strerror(error)};
    }
    if (password_write) {
        // Far below a pipe's capacity: written whole before the child reads.
        [[maybe_unused]] const ssize_t written =
            ::write(password_write.get(), password->data(), password->size());
        password_write.reset();
    }
    ProgramRun run{0, {}};
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(output_read.get(), buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            break;
        }
        run.output.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// The line of a signer's output that says what went wrong, on one line.
std::string Reason(const std::string& output) {
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
    return std::string(lines.front().substr(0, 200));
}

std::string OsslsigncodeFailure(const std::string& output) {
    if (output.find("PIN incorrect") != std::string::npos ||
        output.find("CKR_PIN_INCORRECT") != std::string::npos ||
        output.find("Login failed") != std::string::npos) {
        return std::string("the token refused the PIN: check ") + kPasswordVariable +
               (Password() ? "" : " (it is not set)");
    }
    if (output.find("PIN locked") != std::string::npos) {
        return "the token's PIN is locked";
    }
    return "osslsigncode could not sign: " + Reason(output);
}

// True when `signed_bytes` is `unsigned_bytes` with a certificate table
// appended: equal up to the unsigned length apart from the checksum and the
// certificate table's directory entry.
bool IsUnsignedPlusSignature(std::span<const std::byte> unsigned_bytes,
                             std::span<const std::byte> signed_bytes) {
    if (signed_bytes.size() <= unsigned_bytes.size()) {
        return false;
    }
    const PeHeaders headers = ReadPeHeaders(unsigned_bytes);
    const std::uint64_t checksum = headers.optional + 64;
    const std::optional<std::uint64_t> security = headers.DirectoryEntry(4);
    if (!security) {
        return false;
    }
    for (std::size_t i = 0; i < unsigned_bytes.size(); ++i) {
        const bool may_differ =
            (i >= checksum && i < checksum + 4) || (i >= *security && i < *security + 8);
        if (!may_differ && unsigned_bytes[i] != signed_bytes[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string SigningOptionsProblem(const SigningOptions& options) {
    if (!options.command.empty()) {
        if (!options.cert.empty() || !options.key.empty() || !options.pkcs11_module.empty()) {
            return "--sign-command signs on its own: give no --sign-cert, --sign-key or "
                   "--sign-pkcs11-module with it";
        }
        return "";
    }
    if (!options.pkcs11_module.empty() &&
        (options.cert.empty() || options.key.rfind("pkcs11:", 0) != 0)) {
        return "--sign-pkcs11-module needs --sign-key pkcs11:... (the key in the token) and "
               "--sign-cert CERT";
    }
    if (!options.key.empty() && options.cert.empty()) {
        return "--sign-key needs --sign-cert";
    }
    if (options.pkcs11_module.empty() && options.key.rfind("pkcs11:", 0) == 0) {
        return "a pkcs11: key needs --sign-pkcs11-module MODULE";
    }
    if (!options.timestamp_urls.empty() && !options.Enabled()) {
        return "--timestamp-url needs a signer (--sign-cert or --sign-command)";
    }
    return "";
}

std::vector<std::byte> SignExecutable(std::span<const std::byte> exe, const SigningOptions& options,
                                      const std::string& folder,
                                      const std::function<void(const std::string&)>& note) {
    const TemporaryFile unsigned_file(folder);
    const TemporaryFile signed_file(folder);
    {
        StagedFile staged(unsigned_file.path(), exe);
        staged.Commit();
    }
    if (!options.command.empty()) {
        ::unlink(signed_file.path().c_str());
        // The command gets the two paths as its last two arguments, and the
        // environment as it is: a signing service's client reads its own.
        const ProgramRun run =
            RunProgram({"/bin/sh", "-c", options.command + " \"$1\" \"$2\"", "korvanthelm-sign",
                        unsigned_file.path(), signed_file.path()},
                       std::nullopt, /*keep_password_variable=*/true);
        if (run.status != 0) {
            throw PackError("the signing command \"" + options.command + "\" failed (exit " +
                            std::to_string(run.status) + "): " + Reason(run.output));
        }
        if (::access(signed_file.path().c_str(), F_OK) != 0) {
            throw PackError("the signing command \"" + options.command +
                            "\" wrote no signed file (its second argument)");
        }
    } else {
        const std::optional<std::time_t> epoch = SourceDateEpoch();
        const UniqueX509 certificate = LoadCertificate(options);
        RequireSigningTimeInValidity(certificate.get(), epoch.value_or(std::time(nullptr)),
                                     epoch.has_value());
        std::vector<std::string> args = {"osslsigncode", "sign", "-h", "sha256"};
        if (!options.pkcs11_module.empty()) {
            args.insert(args.end(), {"-pkcs11module", options.pkcs11_module, "-certs", options.cert,
                                     "-key", options.key});
        } else if (!options.key.empty()) {
            args.insert(args.end(), {"-certs", options.cert, "-key", options.key});
        } else {
            args.insert(args.end(), {"-pkcs12", options.cert});
        }
        if (epoch) {
            args.insert(args.end(), {"-time", std::to_string(*epoch)});
        }
        const std::optional<std::string> password = Password();
        if (password) {
            args.insert(args.end(), {"-readpass", "/dev/fd/" + std::to_string(kPasswordFd)});
        }
        args.insert(args.end(), {"-in", unsigned_file.path(), "-out", signed_file.path()});
        ::unlink(signed_file.path().c_str());
        const ProgramRun run = RunProgram(args, password, /*keep_password_variable=*/false);
        if (run.status != 0) {
            throw PackError(OsslsigncodeFailure(run.output));
        }
    }

    if (!options.timestamp_urls.empty()) {
        const TemporaryFile stamped(folder);
        std::string last_reason;
        bool done = false;
        for (const std::string& url : options.timestamp_urls) {
            for (int attempt = 1; attempt <= kTimestampAttempts && !done; ++attempt) {
                ::unlink(stamped.path().c_str());
                const ProgramRun run =
                    RunProgram({"osslsigncode", "add", "-h", "sha256", "-ts", url, "-in",
                                signed_file.path(), "-out", stamped.path()},
                               std::nullopt, /*keep_password_variable=*/false);
                if (run.status == 0) {
                    done = true;
                    break;
                }
                last_reason = url + ": " + Reason(run.output);
                note("timestamp server " + url + " failed (attempt " + std::to_string(attempt) +
                     " of " + std::to_string(kTimestampAttempts) + ")");
                if (attempt < kTimestampAttempts) {
                    std::this_thread::sleep_for(std::chrono::seconds(attempt));
                }
            }
            if (done) {
                break;
            }
        }
        if (!done) {
            throw PackError("no timestamp server answered (last: " + last_reason + ")");
        }
        if (std::rename(stamped.path().c_str(), signed_file.path().c_str()) != 0) {
            throw PackError(std::string("cannot rename the timestamped file: ") +
                            std::strerror(errno));
        }
    }

    std::vector<std::byte> signed_bytes = ReadWholeFile(signed_file.path());
    const char* who = options.command.empty() ? "osslsigncode" : "the signing command";
    std::optional<AuthenticodeSignature> signature;
    try {
        signature = CheckAuthenticodeSignature(signed_bytes);
    } catch (const PackError& error) {
        throw PackError(std::string("what ") + who +
                        " made is not a signed executable: " + error.what());
    }
    if (!signature || !signature->Matches()) {
        throw PackError(std::string("what ") + who + " made carries no signature that verifies");
    }
    if (!IsUnsignedPlusSignature(exe, signed_bytes)) {
        throw PackError(std::string("what ") + who +
                        " made is not the executable plus a signature: other bytes changed");
    }
    return signed_bytes;
}

}  // namespace korvanthelm::pack
