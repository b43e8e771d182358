// What the file system does with the links the bootstrapper refuses to
// follow, and with paths near the classic 260-character limit, answered
// through the bootstrapper's own code in a scratch folder under TEMP that is
// removed afterwards. Links are made the way an attacker would make them:
// a directory junction (needs no privilege) and a file symbolic link (where
// the account may create one).
#pragma once

#include "tools/selftest/check_line.h"

namespace korvanthelm::selftest {

CheckLines CheckLinksAndLongPaths();

}  // namespace korvanthelm::selftest
