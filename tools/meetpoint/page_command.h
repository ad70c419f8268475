// What a page asks meetpoint for, over its WebSocket: a JSON object whose "do" names the
// command ("signin", "signup", "chat") with its fields. Each field is checked here, before it
// goes anywhere: a page is a browser tab, and what it sends is no more trusted than the lobby.
#pragma once

#include <string>

namespace mp {

struct PageCommand {
  enum class Kind {
    kOpened,  // a page opened: it wants fresh players and ratings
    kSignIn,
    kSignUp,
    kChat,
  };
  Kind kind = Kind::kOpened;
  std::string player;    // ISO 8859-1, 1 to 31 bytes
  std::string password;  // as typed (UTF-8), 1 to 128 bytes
  std::string text;      // ISO 8859-1, 1 to 255 bytes
};

// A message from a page becomes a command, or *problem says what is wrong with it.
bool ParsePageCommand(const std::string& message, PageCommand* command, std::string* problem);

}  // namespace mp
