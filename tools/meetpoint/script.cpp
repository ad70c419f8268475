#include "script.h"

#include <cerrno>
#include <cstdlib>

#include "codec.h"

namespace mp {

namespace {

// Splits a line into words at blanks outside quotes and drops a "#" comment. Quotes stay in
// the words; false when a quote is left open.
bool Words(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  std::string word;
  bool quoted = false;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '#')) {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
      if (c == '#') break;
      continue;
    }
    inWord = true;
    word += c;
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted && c == '\\' && i + 1 < line.size()) {
      word += line[++i];
    }
  }
  if (inWord && !quoted) words->push_back(word);
  return !quoted;
}

// A decimal number, or hex after "0x".
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  unsigned long long number = strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || number > max) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A text value: "quoted, with \" \\ \n \t and \xNN escapes", or a bare word taken as it is.
bool ParseText(const std::string& text, std::string* out) {
  out->clear();
  if (text.empty() || text[0] != '"') {
    *out = text;
    return text.find('"') == std::string::npos;
  }
  for (size_t i = 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') return i + 1 == text.size();
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (++i == text.size()) return false;
    char e = text[i];
    if (e == 'n') {
      *out += '\n';
    } else if (e == 't') {
      *out += '\t';
    } else if (e == '"' || e == '\\') {
      *out += e;
    } else if (e == 'x' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      *out += static_cast<char>(HexValue(text[i + 1]) << 4 | HexValue(text[i + 2]));
      i += 2;
    } else {
      return false;
    }
  }
  return false;  // no closing quote
}

bool ParseField(const FieldLayout& layout, const std::string& text, Value* value,
                std::string* error) {
  value->kind = layout.kind;
  switch (layout.kind) {
    case ValueKind::kNumber: {
      uint32_t max = layout.width == 4 ? 0xFFFFFFFFu : (1u << 8 * layout.width) - 1;
      if (ParseNumber(text, max, &value->number)) return true;
      *error =
          std::string(layout.name) + "=" + text + " is no number from 0 to " + std::to_string(max);
      return false;
    }
    case ValueKind::kPlayer: {
      size_t colon = text.rfind(':');
      if (colon != std::string::npos && ParseText(text.substr(0, colon), &value->text) &&
          ParseNumber(text.substr(colon + 1), 0xFFFFFFFFu, &value->number)) {
        return true;
      }
      *error = "Player=" + text + " is not \"name\":rating";
      return false;
    }
    default:
      if (ParseText(text, &value->text)) return true;
      *error = std::string(layout.name) + "=" + text + " is no valid text";
      return false;
  }
}

bool ParseEventWords(const std::vector<std::string>& words, size_t first, Message* event,
                     std::string* error) {
  *event = Message();
  if (first >= words.size()) {
    *error = "an event name is missing";
    return false;
  }
  const std::string& name = words[first];
  if (!TypeFromName(name, &event->type) || !IsEvent(event->type)) {
    *error = "'" + name + "' is no event (NewGameInstance, NewGameResults, NewGameVote, " +
             "NewGameJoin, IncomingMessage)";
    return false;
  }
  const std::vector<FieldLayout>& layouts = EventFields(event->type);
  for (size_t i = first + 1; i < words.size(); ++i) {
    size_t equals = words[i].find('=');
    std::string field = words[i].substr(0, equals);
    const FieldLayout* layout = nullptr;
    for (const FieldLayout& candidate : layouts) {
      if (field == candidate.name) layout = &candidate;
    }
    if (equals == std::string::npos || layout == nullptr) {
      *error = "'" + words[i] + "' is no field of " + name;
      return false;
    }
    Field parsed;
    parsed.name = field;
    if (!ParseField(*layout, words[i].substr(equals + 1), &parsed.value, error)) return false;
    event->fields.push_back(parsed);
  }
  return true;
}

bool JoinHex(const std::vector<std::string>& words, Bytes* out) {
  std::string joined;
  for (size_t i = 1; i < words.size(); ++i) joined += words[i] + " ";
  return ParseHex(joined, out);
}

}  // namespace

bool ParseEvent(const std::string& text, Message* event, std::string* error) {
  std::vector<std::string> words;
  if (!Words(text, &words)) {
    *error = "a quote is not closed";
    return false;
  }
  return ParseEventWords(words, 0, event, error);
}

bool ScriptParser::Fail(const std::string& what) {
  error_ = "line " + std::to_string(lineNumber_) + ": " + what;
  return false;
}

bool ScriptParser::ParseCommand(const std::vector<std::string>& words, Command* command) {
  const std::string& verb = words[0];
  command->line = lineNumber_;
  size_t arguments = words.size() - 1;
  if (verb == "send") {
    Message event;
    std::string problem;
    Bytes payload;
    if (!ParseEventWords(words, 1, &event, &problem) || !EncodeEvent(event, &payload, &problem)) {
      return Fail(problem);
    }
    command->chunks.push_back({Frame(payload), true});
    return true;
  }
  if (verb == "frame" || verb == "raw") {
    Bytes bytes;
    if (!JoinHex(words, &bytes)) return Fail(verb + ": the bytes are not pairs of hex digits");
    if (verb == "raw" && bytes.empty()) return Fail("raw: no bytes");
    if (verb == "frame") bytes = Frame(bytes);
    command->chunks.push_back({bytes, verb == "frame"});
    return true;
  }
  if (verb == "wait") {
    command->kind = Command::Kind::kWait;
    if (arguments != 1 || !ParseNumber(words[1], 0xFFFFFFFFu, &command->ms)) {
      return Fail("wait takes a time in milliseconds");
    }
    return true;
  }
  if (verb == "await") {
    command->kind = Command::Kind::kAwait;
    command->ms = kDefaultAwaitMs;
    if (arguments < 1 || arguments > 2 || !TypeFromName(words[1], &command->type) ||
        !IsRequest(command->type)) {
      return Fail("await takes a request name (such as JoinGame) and an optional time-out");
    }
    if (arguments == 2 && !ParseNumber(words[2], 0xFFFFFFFFu, &command->ms)) {
      return Fail("await: '" + words[2] + "' is no time in milliseconds");
    }
    return true;
  }
  static const struct {
    const char* verb;
    Command::Kind kind;
  } kPlain[] = {{"close", Command::Kind::kClose},
                {"reset", Command::Kind::kReset},
                {"show", Command::Kind::kShow},
                {"quit", Command::Kind::kQuit}};
  for (const auto& plain : kPlain) {
    if (verb != plain.verb) continue;
    if (arguments != 0) return Fail(verb + " takes no arguments");
    command->kind = plain.kind;
    return true;
  }
  return Fail("unknown command '" + verb + "'");
}

bool ScriptParser::Line(const std::string& line, std::vector<Command>* out) {
  ++lineNumber_;
  std::vector<std::string> words;
  if (!Words(line, &words)) return Fail("a quote is not closed");
  if (words.empty()) return true;
  const std::string& verb = words[0];
  if (verb == "together") {
    if (inGroup_) return Fail("together inside together");
    Command group;
    group.line = lineNumber_;
    for (size_t i = 1; i < words.size(); i += 2) {
      uint32_t* target = words[i] == "pieces" ? &group.pieceSize
                         : words[i] == "gap"  ? &group.gapMs
                                              : nullptr;
      if (target == nullptr || i + 1 == words.size() ||
          !ParseNumber(words[i + 1], 0xFFFFFFFFu, target)) {
        return Fail("together takes 'pieces <bytes>' and 'gap <ms>'");
      }
    }
    if (group.pieceSize != 0 && group.gapMs == 0) group.gapMs = kDefaultPieceGapMs;
    group_ = group;
    inGroup_ = true;
    return true;
  }
  if (verb == "end") {
    if (!inGroup_ || words.size() != 1) return Fail("end without together");
    inGroup_ = false;
    if (group_.chunks.empty()) return Fail("together ... end holds nothing to send");
    out->push_back(group_);
    return true;
  }
  Command command;
  if (!ParseCommand(words, &command)) return false;
  if (!inGroup_) {
    out->push_back(command);
  } else if (command.kind == Command::Kind::kWrite) {
    group_.chunks.insert(group_.chunks.end(), command.chunks.begin(), command.chunks.end());
  } else {
    return Fail("only send, frame and raw may stand between together and end");
  }
  return true;
}

bool ScriptParser::Finish() {
  if (!inGroup_) return true;
  error_ = "line " + std::to_string(group_.line) + ": together without end";
  return false;
}

bool ParseScript(const std::string& text, std::vector<Command>* commands, std::string* error) {
  ScriptParser parser;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (!parser.Line(text.substr(start, end - start), commands)) {
      *error = parser.Error();
      return false;
    }
    start = end + 1;
  }
  if (!parser.Finish()) {
    *error = parser.Error();
    return false;
  }
  return true;
}

}  // namespace mp
