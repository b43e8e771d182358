#include "tools/pack/signing/signing_time.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/unique_openssl.h"

namespace korvanthelm::pack {
namespace {

std::string TimeText(const ASN1_TIME* time) {
    const UniqueBio bio(BIO_new(BIO_s_mem()));
    if (!bio || ASN1_TIME_print(bio.get(), time) != 1) {
        return "(unreadable time)";
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

// `when` as a date; as seconds since 1970 when it lies beyond what a
// certificate's time can hold (a SOURCE_DATE_EPOCH far in the future).
std::string MomentText(std::time_t when) {
    const UniqueAsn1Time moment(ASN1_TIME_set(/*s=*/nullptr, when));
    if (!moment) {
        return std::to_string(when);
    }
    return TimeText(moment.get());
}

}  // namespace

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
    throw PackError("the signing time " + MomentText(when) +
                    (from_epoch ? " (SOURCE_DATE_EPOCH)" : "") +
                    " is outside the certificate's validity, " + TimeText(not_before) + " to " +
                    TimeText(not_after));
}

}  // namespace korvanthelm::pack
