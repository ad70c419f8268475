// The wire format: frames (a little-endian u32 total length that counts its own four bytes,
// then the payload, whose first byte is the message type), and the payload of each of the
// eleven requests and five events.
#pragma once

#include <string>
#include <vector>

#include "message.h"

namespace mp {

// The largest frame the game sends, length prefix included.
const uint32_t kMaxFrame = 4096;
// The largest frame the game can receive: events must stay below this.
const uint32_t kMaxEventFrame = 4095;

// Decodes one payload of any known type. On failure *problem says what is wrong with it
// ("payload of 4 bytes; a JoinGame has 5"). Never reads outside [payload, payload + size).
bool Decode(const uint8_t* payload, size_t size, Message* out, std::string* problem);

// A field of an event as the script and the encoder know it; width is the size in bytes of a
// number.
struct FieldLayout {
  const char* name;
  ValueKind kind;
  int width;
};
// The fields of an event in payload order; empty for any other type.
const std::vector<FieldLayout>& EventFields(uint8_t type);

// Builds the payload of an event from its fields; fields that are absent are 0 or empty, and
// NewGameResults counts its Player fields for NumPlrs and RecordsSize unless those are given.
// False (with *problem) for a request type, an unknown type or a field the event hasn't.
bool EncodeEvent(const Message& event, Bytes* payload, std::string* problem);

// The frame around a payload.
Bytes Frame(const Bytes& payload);

// Cuts a byte stream into frames. A length field below 5 (no type byte) or above kMaxFrame
// puts the stream out of step for good: Feed then fails and keeps failing.
class FrameSplitter {
 public:
  // Appends data and moves every complete frame (with its length prefix) to *frames.
  bool Feed(const uint8_t* data, size_t size, std::vector<Bytes>* frames);
  const std::string& Error() const { return error_; }
  // Bytes of an incomplete frame held back.
  size_t Pending() const { return pending_.size(); }
  const Bytes& Held() const { return pending_; }

 private:
  Bytes pending_;
  std::string error_;
};

// What meetpoint makes of the bytes a game sends.
struct Incoming {
  enum class Kind {
    kRequest,       // a well-formed request
    kMalformed,     // a known request whose payload is wrong
    kUnknown,       // a frame whose type is no request
    kFramingError,  // the stream is out of step; nothing more can be read
  };
  Kind kind = Kind::kRequest;
  Message message;      // kRequest; for kMalformed and kUnknown only the type
  Bytes frame;          // the frame, length prefix included; kFramingError: the bytes held
  std::string problem;  // what was wrong, for every kind but kRequest
};

// Frame splitter and request decoder in one: the single entry point for the game's bytes.
class RequestReader {
 public:
  std::vector<Incoming> Feed(const uint8_t* data, size_t size);
  size_t Pending() const { return splitter_.Pending(); }

 private:
  FrameSplitter splitter_;
  bool failed_ = false;
};

}  // namespace mp
