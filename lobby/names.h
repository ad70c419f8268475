// Account names and passwords: what a new account may be called and what its password must
// be, and the folded form under which a name is unique. Names are compared without regard to
// case ("Ada" and "ada" are one account); only ASCII letters fold, as SQLite's NOCASE does,
// so that both stores agree on what counts as the same name.
#pragma once

#include <string>

namespace lobby {

const size_t kLongestName = 31;
const size_t kShortestPassword = 8;
const size_t kLongestPassword = 128;

// The name with ASCII capitals made small: the key under which it is unique.
std::string FoldName(const std::string& name);
// 1 to 31 printable ASCII characters (0x20 to 0x7E), not starting or ending with a space.
bool ValidName(const std::string& name);
// 8 to 128 bytes.
bool ValidPassword(const std::string& password);

}  // namespace lobby
