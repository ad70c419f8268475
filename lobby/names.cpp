#include "names.h"

namespace lobby {

std::string FoldName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kLongestName || name.front() == ' ' || name.back() == ' ')
    return false;
  for (char c : name) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool ValidPassword(const std::string& password) {
  return password.size() >= kShortestPassword && password.size() <= kLongestPassword;
}

}  // namespace lobby
