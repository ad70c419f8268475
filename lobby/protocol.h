// The protocol between meetpoint and rallylobby (docs/lobby.md): frames of a little-endian u32
// total length (counting its own four bytes) and a payload whose first byte is the message
// type, then the message's fields in a fixed order. Numbers are little-endian; a text is a
// u16 length and that many bytes; a record list is a u16 count and that many name/rating
// pairs. This code has no dependencies, so every build (Windows too) has it and fuzzes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lobby {

using Bytes = std::vector<uint8_t>;

const uint32_t kMagic = 0x424C4C52;  // "RLLB" as a little-endian number
const uint32_t kVersion = 2;
const uint32_t kMinFrame = 5;      // a length field and a type byte
const uint32_t kMaxFrame = 8192;   // both directions; larger length fields end the connection
const uint32_t kMaxRecords = 113;  // what one results event for the game can hold

enum : uint8_t {
  // meetpoint to server
  kHello = 0x01,
  kLogin = 0x02,
  kChat = 0x03,
  kStartInstance = 0x04,
  kJoin = 0x05,
  kVote = 0x06,
  kResults = 0x07,
  kAccuse = 0x08,
  kPing = 0x09,
  kRegister = 0x0A,
  kWho = 0x0B,
  kRatings = 0x0C,
  // server to meetpoint
  kWelcome = 0x41,
  kLoggedIn = 0x42,
  kError = 0x43,
  kInstance = 0x44,
  kJoinResult = 0x45,
  kVoteCast = 0x46,
  kFinalResults = 0x47,
  kChatLine = 0x48,
  kPong = 0x49,
  kOnline = 0x4A,
  kRatingsTable = 0x4B,
  kJoined = 0x4C,
};

enum class Kind { kU8, kU32, kText, kRecords };

struct FieldLayout {
  const char* name;
  Kind kind;
  uint32_t max;  // the longest text in bytes, the most records, or the largest number
};

struct MessageLayout {
  uint8_t type;
  const char* name;
  bool fromClient;
  std::vector<FieldLayout> fields;
};

// Every message, in the order of docs/lobby.md; null for an unknown type.
const std::vector<MessageLayout>& AllMessages();
const MessageLayout* LayoutOf(uint8_t type);

struct Record {
  std::string name;
  uint32_t rating = 0;
  bool operator==(const Record& other) const {
    return name == other.name && rating == other.rating;
  }
};

// One field's value: the number, the text or the records, as its kind says.
struct Value {
  uint32_t number = 0;
  std::string text;
  std::vector<Record> records;
};

struct Message {
  uint8_t type = 0;
  std::vector<Value> values;  // in the order of the type's fields

  Message() = default;
  explicit Message(uint8_t t) : type(t) {}
  Message& Num(uint32_t n) {
    values.emplace_back();
    values.back().number = n;
    return *this;
  }
  Message& Text(std::string s) {
    values.emplace_back();
    values.back().text = std::move(s);
    return *this;
  }
  Message& Records(std::vector<Record> r) {
    values.emplace_back();
    values.back().records = std::move(r);
    return *this;
  }
  uint32_t num(size_t i) const { return i < values.size() ? values[i].number : 0; }
  const std::string& text(size_t i) const;
  const std::vector<Record>& records(size_t i) const;
};

// The payload of a message (type byte first), checked against its type's layout. Texts longer
// than their limit and numbers above theirs are refused with *problem set.
bool Encode(const Message& message, Bytes* payload, std::string* problem);
// The whole frame; the message must be valid (a programming error otherwise: empty result).
Bytes EncodeFrame(const Message& message);
// Decodes one payload. *problem names what is wrong ("Chat: Text of 300 bytes is above 255").
// Never reads outside [payload, payload + size).
bool Decode(const uint8_t* payload, size_t size, Message* out, std::string* problem);
// "Chat Text=\"hi\"": for consoles and logs; texts quoted with C escapes.
std::string Describe(const Message& message);
// A text from the network in double quotes, safe on any console or log line: quote and
// backslash escaped, every byte outside printable ASCII as \xNN.
std::string Quote(const std::string& text);

// Cuts a byte stream into payloads. A length field below kMinFrame or above kMaxFrame leaves
// no way to find the next frame: Feed then fails and keeps failing.
class FrameReader {
 public:
  // Appends data, then moves every complete payload (without its length prefix) to *payloads.
  bool Feed(const uint8_t* data, size_t size, std::vector<Bytes>* payloads);
  const std::string& Error() const { return error_; }
  size_t Pending() const { return pending_.size() - start_; }

 private:
  Bytes pending_;
  size_t start_ = 0;
  std::string error_;
};

// Helpers for any little-endian stream of fields (the servers' event bus uses them too).
void PutU32(Bytes* out, uint32_t value);
void PutText(Bytes* out, const std::string& text);
uint32_t GetU32(const uint8_t* p);

}  // namespace lobby
