#include "json_text.h"

namespace lobby {

std::string JsonText(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool LobbyText(const std::string& utf8, std::string* bytes) {
  bytes->clear();
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      *bytes += static_cast<char>(c);
      continue;
    }
    // Only the two-byte forms of U+0080 to U+00FF.
    if ((c != 0xC2 && c != 0xC3) || i + 1 >= utf8.size()) return false;
    auto next = static_cast<unsigned char>(utf8[++i]);
    if ((next & 0xC0) != 0x80) return false;
    *bytes += static_cast<char>(((c & 0x03) << 6) | (next & 0x3F));
  }
  return true;
}

}  // namespace lobby
