#include "protocol.h"

#include <cstdio>

namespace lobby {

namespace {

const uint32_t kAny = 0xFFFFFFFFu;
const uint32_t kName = 31;  // the longest player name, as the game keeps it

// Takes fields front to back, never past the end; the first shortage becomes the problem.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Take(size_t count, const uint8_t** out) {
    if (count > size_ - at_) return false;
    *out = data_ + at_;
    at_ += count;
    return true;
  }
  size_t Left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

uint32_t GetU16(const uint8_t* p) { return p[0] | (p[1] << 8); }

void PutU16(Bytes* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

bool ReadText(Reader& r, std::string* text) {
  const uint8_t* p = nullptr;
  if (!r.Take(2, &p)) return false;
  uint32_t length = GetU16(p);
  if (!r.Take(length, &p)) return false;
  text->assign(reinterpret_cast<const char*>(p), length);
  return true;
}

std::string TooLong(const MessageLayout& layout, const FieldLayout& field, size_t size) {
  return std::string(layout.name) + ": " + field.name + " of " + std::to_string(size) +
         (field.kind == Kind::kRecords ? " records" : " bytes") + " is above " +
         std::to_string(field.max);
}

}  // namespace

const std::vector<MessageLayout>& AllMessages() {
  static const std::vector<MessageLayout> kAll = {
      {kHello,
       "Hello",
       true,
       {{"Magic", Kind::kU32, kAny}, {"Version", Kind::kU32, kAny}, {"Client", Kind::kText, 64}}},
      {kLogin, "Login", true, {{"Player", Kind::kText, kName}, {"Password", Kind::kText, 128}}},
      {kChat, "Chat", true, {{"Text", Kind::kText, 255}}},
      {kStartInstance, "StartInstance", true, {{"Invited", Kind::kText, 255}}},
      {kJoin, "Join", true, {{"GiID", Kind::kU32, kAny}}},
      {kVote, "Vote", true, {{"GiID", Kind::kU32, kAny}, {"Vote", Kind::kU8, 3}}},
      {kResults,
       "Results",
       true,
       {{"GiID", Kind::kU32, kAny},
        {"Vote", Kind::kU8, 255},
        {"Scores", Kind::kText, 1010},
        {"NumPlrs", Kind::kU32, kAny}}},
      {kAccuse, "Accuse", true, {{"GiID", Kind::kU32, kAny}, {"Player", Kind::kText, kName}}},
      {kPing, "Ping", true, {{"Token", Kind::kU32, kAny}}},
      {kRegister,
       "Register",
       true,
       {{"Player", Kind::kText, kName}, {"Password", Kind::kText, 128}}},
      {kWho, "Who", true, {}},
      {kRatings, "Ratings", true, {{"Count", Kind::kU32, kMaxRecords}}},
      {kWelcome, "Welcome", false, {{"Version", Kind::kU32, kAny}, {"Server", Kind::kText, 64}}},
      {kLoggedIn,
       "LoggedIn",
       false,
       {{"Player", Kind::kText, kName}, {"Rating", Kind::kU32, kAny}}},
      {kError,
       "Error",
       false,
       {{"Rule", Kind::kText, 32},
        {"Request", Kind::kU8, 255},
        {"Detail", Kind::kText, 255},
        {"Fatal", Kind::kU8, 1}}},
      {kInstance,
       "Instance",
       false,
       {{"GiID", Kind::kU32, kAny},
        {"VotingFlags", Kind::kU32, kAny},
        {"Creator", Kind::kText, kName}}},
      {kJoinResult,
       "JoinResult",
       false,
       {{"GiID", Kind::kU32, kAny}, {"Result", Kind::kU32, kAny}}},
      {kVoteCast,
       "VoteCast",
       false,
       {{"GiID", Kind::kU32, kAny}, {"Vote", Kind::kU8, 255}, {"Voter", Kind::kText, kName}}},
      {kFinalResults,
       "FinalResults",
       false,
       {{"GiID", Kind::kU32, kAny},
        {"Vote", Kind::kU8, 255},
        {"Players", Kind::kRecords, kMaxRecords}}},
      {kChatLine, "ChatLine", false, {{"From", Kind::kText, kName}, {"Text", Kind::kText, 255}}},
      {kPong, "Pong", false, {{"Token", Kind::kU32, kAny}}},
      {kOnline,
       "Online",
       false,
       {{"Total", Kind::kU32, kAny}, {"Players", Kind::kRecords, kMaxRecords}}},
      {kRatingsTable, "RatingsTable", false, {{"Players", Kind::kRecords, kMaxRecords}}},
      {kJoined, "Joined", false, {{"GiID", Kind::kU32, kAny}, {"Player", Kind::kText, kName}}},
  };
  return kAll;
}

const MessageLayout* LayoutOf(uint8_t type) {
  for (const MessageLayout& layout : AllMessages()) {
    if (layout.type == type) return &layout;
  }
  return nullptr;
}

const std::string& Message::text(size_t i) const {
  static const std::string kEmpty;
  return i < values.size() ? values[i].text : kEmpty;
}

const std::vector<Record>& Message::records(size_t i) const {
  static const std::vector<Record> kNone;
  return i < values.size() ? values[i].records : kNone;
}

void PutU32(Bytes* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

void PutText(Bytes* out, const std::string& text) {
  PutU16(out, static_cast<uint32_t>(text.size()));
  out->insert(out->end(), text.begin(), text.end());
}

uint32_t GetU32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool Encode(const Message& message, Bytes* payload, std::string* problem) {
  const MessageLayout* layout = LayoutOf(message.type);
  if (layout == nullptr) {
    *problem = "unknown message type " + std::to_string(message.type);
    return false;
  }
  if (message.values.size() != layout->fields.size()) {
    *problem =
        std::string(layout->name) + " has " + std::to_string(layout->fields.size()) + " fields";
    return false;
  }
  payload->assign(1, message.type);
  for (size_t i = 0; i < layout->fields.size(); ++i) {
    const FieldLayout& field = layout->fields[i];
    const Value& value = message.values[i];
    switch (field.kind) {
      case Kind::kU8:
      case Kind::kU32:
        if (value.number > field.max) {
          *problem = std::string(layout->name) + ": " + field.name + " " +
                     std::to_string(value.number) + " is above " + std::to_string(field.max);
          return false;
        }
        if (field.kind == Kind::kU8) {
          payload->push_back(static_cast<uint8_t>(value.number));
        } else {
          PutU32(payload, value.number);
        }
        break;
      case Kind::kText:
        if (value.text.size() > field.max) {
          *problem = TooLong(*layout, field, value.text.size());
          return false;
        }
        PutText(payload, value.text);
        break;
      case Kind::kRecords:
        if (value.records.size() > field.max) {
          *problem = TooLong(*layout, field, value.records.size());
          return false;
        }
        PutU16(payload, static_cast<uint32_t>(value.records.size()));
        for (const Record& record : value.records) {
          if (record.name.size() > kName) {
            *problem =
                std::string(layout->name) + ": a player name is above " + std::to_string(kName);
            return false;
          }
          PutText(payload, record.name);
          PutU32(payload, record.rating);
        }
        break;
    }
  }
  if (payload->size() + 4 > kMaxFrame) {
    *problem = std::string(layout->name) + " does not fit into a frame";
    return false;
  }
  return true;
}

Bytes EncodeFrame(const Message& message) {
  Bytes payload;
  std::string problem;
  if (!Encode(message, &payload, &problem)) return {};
  Bytes frame;
  PutU32(&frame, static_cast<uint32_t>(payload.size() + 4));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

bool Decode(const uint8_t* payload, size_t size, Message* out, std::string* problem) {
  if (size == 0) {
    *problem = "empty payload";
    return false;
  }
  const MessageLayout* layout = LayoutOf(payload[0]);
  if (layout == nullptr) {
    char text[48];
    snprintf(text, sizeof text, "unknown message type 0x%02X", payload[0]);
    *problem = text;
    return false;
  }
  *out = Message(layout->type);
  Reader r(payload + 1, size - 1);
  for (const FieldLayout& field : layout->fields) {
    const uint8_t* p = nullptr;
    Value value;
    bool ok = true;
    switch (field.kind) {
      case Kind::kU8:
        ok = r.Take(1, &p) && (value.number = p[0], true);
        break;
      case Kind::kU32:
        ok = r.Take(4, &p) && (value.number = GetU32(p), true);
        break;
      case Kind::kText:
        ok = ReadText(r, &value.text);
        if (ok && value.text.size() > field.max) {
          *problem = TooLong(*layout, field, value.text.size());
          return false;
        }
        break;
      case Kind::kRecords: {
        ok = r.Take(2, &p);
        uint32_t count = ok ? GetU16(p) : 0;
        if (count > field.max) {
          *problem = TooLong(*layout, field, count);
          return false;
        }
        for (uint32_t i = 0; ok && i < count; ++i) {
          Record record;
          ok = ReadText(r, &record.name) && r.Take(4, &p);
          if (ok) record.rating = GetU32(p);
          if (ok && record.name.size() > kName) {
            *problem =
                std::string(layout->name) + ": a player name is above " + std::to_string(kName);
            return false;
          }
          value.records.push_back(record);
        }
        break;
      }
    }
    if (!ok) {
      *problem = std::string(layout->name) + ": payload of " + std::to_string(size) +
                 " bytes ends inside " + field.name;
      return false;
    }
    if (field.kind != Kind::kText && field.kind != Kind::kRecords && value.number > field.max) {
      *problem = std::string(layout->name) + ": " + field.name + " " +
                 std::to_string(value.number) + " is above " + std::to_string(field.max);
      return false;
    }
    out->values.push_back(std::move(value));
  }
  if (r.Left() != 0) {
    *problem = std::string(layout->name) + ": " + std::to_string(r.Left()) +
               " bytes left over after the last field";
    return false;
  }
  return true;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7E) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Describe(const Message& message) {
  const MessageLayout* layout = LayoutOf(message.type);
  if (layout == nullptr) return "unknown";
  std::string line = layout->name;
  for (size_t i = 0; i < layout->fields.size() && i < message.values.size(); ++i) {
    const FieldLayout& field = layout->fields[i];
    const Value& value = message.values[i];
    if (field.kind == Kind::kRecords) {
      for (const Record& record : value.records) {
        line += " Player=" + Quote(record.name) + ":" + std::to_string(record.rating);
      }
      continue;
    }
    if (field.kind == Kind::kText && std::string(field.name) == "Password") {
      line += " Password=(hidden)";
      continue;
    }
    line += std::string(" ") + field.name + "=" +
            (field.kind == Kind::kText ? Quote(value.text) : std::to_string(value.number));
  }
  return line;
}

bool FrameReader::Feed(const uint8_t* data, size_t size, std::vector<Bytes>* payloads) {
  if (!error_.empty()) return false;
  pending_.insert(pending_.end(), data, data + size);
  while (pending_.size() - start_ >= 4) {
    uint32_t length = GetU32(pending_.data() + start_);
    if (length < kMinFrame || length > kMaxFrame) {
      error_ = "length field " + std::to_string(length) +
               (length < kMinFrame ? " is below " + std::to_string(kMinFrame)
                                   : " is above " + std::to_string(kMaxFrame));
      return false;
    }
    if (pending_.size() - start_ < length) break;
    payloads->emplace_back(pending_.begin() + static_cast<std::ptrdiff_t>(start_ + 4),
                           pending_.begin() + static_cast<std::ptrdiff_t>(start_ + length));
    start_ += length;
  }
  // Drop what has been taken, now and then rather than after each frame.
  if (start_ > 0 && (start_ == pending_.size() || start_ > kMaxFrame)) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  return true;
}

}  // namespace lobby
