#include "host_name.h"

#include <algorithm>

namespace mp {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return text;
}

}  // namespace

bool HostNameMatches(const std::string& name, const std::string& host) {
  std::string want = Lower(host);
  if (!want.empty() && want.back() == '.') want.pop_back();
  std::string have = Lower(name);
  if (want.empty() || have.empty()) return false;
  if (have.compare(0, 2, "*.") != 0) return have == want;
  // "*.example.com": the host's first label is any one label, and the rest is the same.
  std::string rest = have.substr(1);
  size_t dot = want.find('.');
  return rest.find('.', 1) != std::string::npos && dot != std::string::npos && dot > 0 &&
         want.compare(dot, std::string::npos, rest) == 0;
}

}  // namespace mp
