// The RFC 3161 countersignature on a signed executable, from the first of the
// release engineer's timestamp servers that answers.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace korvanthelm::pack {

// Replaces the signed executable at `signed_path` with a copy timestamped by
// osslsigncode, made in a temporary file in `folder`. Each server in `urls` is
// asked up to three times, with a growing pause, before the next one is
// tried; every failed attempt is told to `note`. Each attempt is given up
// after 30 s (connect, ask, read the reply), and no attempt starts once 180 s
// have passed since the first. An attempt fails when
// osslsigncode fails or when the timestamp it added does not pass
// ReadSigningTimestamp's checks (verify's own). Throws PackError "no
// timestamp server gave a timestamp (last: URL: REASON)", REASON the last
// attempt's real cause; `signed_path` is unchanged then and no temporary
// file is left.
void AddTimestamp(const std::string& signed_path, const std::vector<std::string>& urls,
                  const std::string& folder, const std::function<void(const std::string&)>& note);

}  // namespace korvanthelm::pack
