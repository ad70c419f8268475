#include "message.h"

#include <cstdio>
#include <cstring>

namespace mp {

namespace {

struct TypeEntry {
  uint8_t type;
  const char* name;
};

const TypeEntry kTypes[] = {
    {kInitialise, "Initialise"},
    {kShutdown, "Shutdown"},
    {kServerDescription, "ServerDescription"},
    {kGameState, "GameState"},
    {kLobbyMessage, "LobbyMessage"},
    {kStartGameInstance, "StartGameInstance"},
    {kGameResults, "GameResults"},
    {kVote, "Vote"},
    {kAccusePlayer, "AccusePlayer"},
    {kJoinGame, "JoinGame"},
    {kStats, "Stats"},
    {kNewGameInstance, "NewGameInstance"},
    {kNewGameResults, "NewGameResults"},
    {kNewGameVote, "NewGameVote"},
    {kNewGameJoin, "NewGameJoin"},
    {kIncomingMessage, "IncomingMessage"},
};

}  // namespace

void Message::AddNumber(const char* name, uint32_t number) {
  Field field;
  field.name = name;
  field.value.number = number;
  fields.push_back(field);
}

void Message::AddText(const char* name, const std::string& text, ValueKind kind) {
  Field field;
  field.name = name;
  field.value.kind = kind;
  field.value.text = text;
  fields.push_back(field);
}

void Message::AddPlayer(const std::string& name, uint32_t rating) {
  Field field;
  field.name = "Player";
  field.value.kind = ValueKind::kPlayer;
  field.value.text = name;
  field.value.number = rating;
  fields.push_back(field);
}

const Value* Message::Find(const std::string& name) const {
  for (const Field& field : fields) {
    if (field.name == name) return &field.value;
  }
  return nullptr;
}

uint32_t Message::NumberOf(const std::string& name) const {
  const Value* value = Find(name);
  return value != nullptr ? value->number : 0;
}

std::string Message::TextOf(const std::string& name) const {
  const Value* value = Find(name);
  return value != nullptr ? value->text : "";
}

const char* TypeName(uint8_t type) {
  for (const TypeEntry& entry : kTypes) {
    if (entry.type == type) return entry.name;
  }
  return nullptr;
}

bool TypeFromName(const std::string& name, uint8_t* type) {
  for (const TypeEntry& entry : kTypes) {
    if (name == entry.name) {
      *type = entry.type;
      return true;
    }
  }
  return false;
}

bool IsRequest(uint8_t type) { return type >= kInitialise && type <= kStats; }

bool IsEvent(uint8_t type) {
  return (type >= kNewGameInstance && type <= kNewGameJoin) || type == kIncomingMessage;
}

std::string Quote(const std::string& text) { return QuoteWith(text, "\\x%02x"); }

std::string QuoteWith(const std::string& text, const char* byteEscape) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      char escape[16];
      snprintf(escape, sizeof escape, byteEscape, c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string FormatLine(const Message& message) {
  const char* name = TypeName(message.type);
  std::string line = name != nullptr ? name : "?";
  for (const Field& field : message.fields) {
    line += ' ';
    line += field.name;
    line += '=';
    const Value& value = field.value;
    switch (value.kind) {
      case ValueKind::kNumber:
        line += std::to_string(value.number);
        break;
      case ValueKind::kText:
        line += Quote(value.text);
        break;
      case ValueKind::kBytes:
        line += ToHex(reinterpret_cast<const uint8_t*>(value.text.data()), value.text.size());
        break;
      case ValueKind::kPlayer:
        line += Quote(value.text) + ":" + std::to_string(value.number);
        break;
    }
  }
  return line;
}

std::string ToHex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const std::string& text, Bytes* out) {
  out->clear();
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (high >= 0) return false;  // a blank may only stand between whole bytes
      continue;
    }
    int digit = HexDigit(c);
    if (digit < 0) return false;
    if (high < 0) {
      high = digit;
    } else {
      out->push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  return high < 0;
}

void PutU16(Bytes* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(Bytes* out, uint32_t value) {
  PutU16(out, value & 0xFFFF);
  PutU16(out, value >> 16);
}

uint32_t GetU16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | p[1] << 8; }

uint32_t GetU32(const uint8_t* p) { return GetU16(p) | static_cast<uint32_t>(GetU16(p + 2)) << 16; }

}  // namespace mp
