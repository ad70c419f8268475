#include "page_command.h"

#include "page_model.h"

namespace mp {

bool ParsePageCommand(const std::string& message, PageCommand* command, std::string* problem) {
  Json json = Json::parse(message, nullptr, false);
  auto text = [&json](const char* key, std::string* out) {
    auto found = json.find(key);
    if (found == json.end() || !found->is_string()) return false;
    *out = found->get<std::string>();
    return true;
  };
  std::string what;
  if (!json.is_object() || !text("do", &what)) {
    *problem = "a message must be a JSON object with \"do\"";
    return false;
  }
  std::string raw;
  if (what == "signin" || what == "signup") {
    command->kind = what == "signin" ? PageCommand::Kind::kSignIn : PageCommand::Kind::kSignUp;
    if (!text("player", &raw) || !Utf8ToLatin1(raw, &command->player) || command->player.empty() ||
        command->player.size() > 31) {
      *problem = "a player's name is 1 to 31 characters";
      return false;
    }
    if (!text("password", &command->password) || command->password.empty() ||
        command->password.size() > 128) {
      *problem = "a password is 1 to 128 bytes";
      return false;
    }
    return true;
  }
  if (what == "chat") {
    command->kind = PageCommand::Kind::kChat;
    if (!text("text", &raw) || !Utf8ToLatin1(raw, &command->text) || command->text.empty() ||
        command->text.size() > 255) {
      *problem = "a chat line is 1 to 255 characters";
      return false;
    }
    return true;
  }
  *problem = "unknown \"do\": " + Json(what).dump(-1, ' ', false, Json::error_handler_t::replace);
  return false;
}

}  // namespace mp
