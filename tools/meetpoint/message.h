// Messages as meetpoint sees them: a type code and named fields, in the order in which they
// stand in the payload. The same model serves the readable lines, the transcript, the script's
// "send" command and the encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mp {

using Bytes = std::vector<uint8_t>;

enum class ValueKind {
  kNumber,  // an unsigned number of 8, 16 or 32 bits
  kText,    // 8-bit characters
  kBytes,   // opaque bytes, written in hex
  kPlayer,  // one player record: a name and a rating
};

struct Value {
  ValueKind kind = ValueKind::kNumber;
  uint32_t number = 0;  // the number, or the player's rating
  std::string text;     // the text, the bytes, or the player's name
};

struct Field {
  std::string name;
  Value value;
};

struct Message {
  uint8_t type = 0;
  std::vector<Field> fields;

  void AddNumber(const char* name, uint32_t number);
  void AddText(const char* name, const std::string& text, ValueKind kind = ValueKind::kText);
  void AddPlayer(const std::string& name, uint32_t rating);
  // The first field of that name, or null.
  const Value* Find(const std::string& name) const;
  // The first field of that name's number or text; 0 or empty when there is none.
  uint32_t NumberOf(const std::string& name) const;
  std::string TextOf(const std::string& name) const;
};

// Message type codes: requests from the game, then events from meetpoint.
enum : uint8_t {
  kInitialise = 0x01,
  kShutdown = 0x02,
  kServerDescription = 0x03,
  kGameState = 0x04,
  kLobbyMessage = 0x05,
  kStartGameInstance = 0x06,
  kGameResults = 0x07,
  kVote = 0x08,
  kAccusePlayer = 0x09,
  kJoinGame = 0x0A,
  kStats = 0x0B,
  kNewGameInstance = 0x20,
  kNewGameResults = 0x21,
  kNewGameVote = 0x22,
  kNewGameJoin = 0x23,
  kIncomingMessage = 0x2C,
};

// "JoinGame" for 0x0A and so on; null for a code without a message.
const char* TypeName(uint8_t type);
// The code of a message name; false when there is none.
bool TypeFromName(const std::string& name, uint8_t* type);
bool IsRequest(uint8_t type);
bool IsEvent(uint8_t type);

// The readable form: "JoinGame GiID=5". Texts are quoted with C escapes, bytes are hex, a player
// is "name":rating.
std::string FormatLine(const Message& message);
std::string Quote(const std::string& text);
// A double-quoted string with \" \\ \n and \t, and every other byte outside printable ASCII
// written with byteEscape (a printf format taking the byte's code, such as "\\x%02x").
std::string QuoteWith(const std::string& text, const char* byteEscape);

// Lower-case hex without separators; ParseHex also takes blanks between bytes.
std::string ToHex(const uint8_t* data, size_t size);
inline std::string ToHex(const Bytes& bytes) { return ToHex(bytes.data(), bytes.size()); }
bool ParseHex(const std::string& text, Bytes* out);

// Little-endian numbers.
void PutU16(Bytes* out, uint32_t value);
void PutU32(Bytes* out, uint32_t value);
uint32_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);

}  // namespace mp
