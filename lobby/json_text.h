// Lobby texts in JSON (the operator's API and the JSON log). A lobby text is bytes of 8-bit
// characters, not necessarily UTF-8; in JSON each byte is the character of the same number
// (U+0000 to U+00FF, as Latin-1 has them), so that any text goes in and comes back whole.
#pragma once

#include <string>

namespace lobby {

// The bytes as UTF-8 of those characters.
std::string JsonText(const std::string& bytes);
// Back to bytes; false for text that is not UTF-8 or has a character above U+00FF.
bool LobbyText(const std::string& utf8, std::string* bytes);

}  // namespace lobby
