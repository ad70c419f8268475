#include "codec.h"

#include <cstdio>

namespace mp {

namespace {

std::string Format(const char* format, size_t a, size_t b = 0) {
  char text[160];
  snprintf(text, sizeof text, format, a, b);
  return text;
}

// Takes fields from a payload front to back, never past its end. The first shortage is kept
// as the problem, naming the field that didn't fit.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Number(int width, const char* field, uint32_t* value) {
    if (!Have(width, field)) return false;
    const uint8_t* p = data_ + at_;
    *value = width == 1 ? p[0] : width == 2 ? GetU16(p) : GetU32(p);
    at_ += width;
    return true;
  }
  bool Bytes(size_t count, const char* field, std::string* out) {
    if (!Have(count, field)) return false;
    out->assign(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return true;
  }
  // A zero-terminated string; the zero is taken too.
  bool Text(const char* field, std::string* out) {
    size_t end = at_;
    while (end < size_ && data_[end] != 0) ++end;
    if (end == size_) {
      problem_ = std::string(field) + " has no terminating zero";
      return false;
    }
    out->assign(reinterpret_cast<const char*>(data_ + at_), end - at_);
    at_ = end + 1;
    return true;
  }
  size_t Left() const { return size_ - at_; }
  const std::string& Problem() const { return problem_; }
  void SetProblem(const std::string& problem) { problem_ = problem; }

 private:
  bool Have(size_t count, const char* field) {
    if (count <= size_ - at_) return true;
    problem_ = Format("payload of %zu bytes ends inside ", size_ + 1) + field;
    return false;
  }

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  std::string problem_;
};

struct FixedSize {
  uint8_t type;
  size_t size;
};

// Messages whose payload always has the same size.
const FixedSize kFixedSizes[] = {
    {kInitialise, 3}, {kShutdown, 1}, {kGameState, 2},       {kStartGameInstance, 1},
    {kVote, 6},       {kJoinGame, 5}, {kNewGameInstance, 9}, {kNewGameJoin, 9},
};

bool Number(Reader& r, Message* m, int width, const char* field) {
  uint32_t value;
  if (!r.Number(width, field, &value)) return false;
  m->AddNumber(field, value);
  return true;
}

bool Text(Reader& r, Message* m, const char* field) {
  std::string text;
  if (!r.Text(field, &text)) return false;
  m->AddText(field, text);
  return true;
}

// A block of bytes behind a 16-bit length; its length may not pass max.
bool Sized16(Reader& r, Message* m, const char* field, ValueKind kind, uint32_t max) {
  uint32_t size;
  std::string bytes;
  if (!r.Number(2, field, &size)) return false;
  if (size > max) {
    r.SetProblem(std::string(field) + Format(" length %zu is above %zu", size, max));
    return false;
  }
  if (!r.Bytes(size, field, &bytes)) return false;
  m->AddText(field, bytes, kind);
  return true;
}

bool DecodeResults(Reader& r, Message* m) {
  uint32_t count;
  if (!Number(r, m, 4, "GiID") || !Number(r, m, 1, "Vote") || !r.Number(4, "NumPlrs", &count)) {
    return false;
  }
  m->AddNumber("NumPlrs", count);
  if (!Number(r, m, 4, "RecordsSize")) return false;
  if (static_cast<uint64_t>(count) * 36 != r.Left()) {
    r.SetProblem(Format("NumPlrs %zu needs %zu bytes of records", count, count * 36ull) +
                 Format("; %zu follow", r.Left()));
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    std::string name;
    uint32_t rating = 0;
    r.Bytes(32, "Player", &name);
    r.Number(4, "Player", &rating);
    m->AddPlayer(name.substr(0, name.find('\0')), rating);
  }
  return true;
}

bool DecodeFields(Reader& r, Message* m) {
  switch (m->type) {
    case kInitialise:
      return Number(r, m, 2, "InitialiseValue");
    case kShutdown:
    case kStartGameInstance:
      return true;
    case kServerDescription:
      return Sized16(r, m, "Extra", ValueKind::kBytes, 256) &&
             Sized16(r, m, "Non", ValueKind::kBytes, 256);
    case kGameState:
      return Number(r, m, 1, "State");
    case kLobbyMessage:
      return Sized16(r, m, "From", ValueKind::kText, 31) &&
             Sized16(r, m, "Text", ValueKind::kText, 255);
    case kGameResults: {
      uint32_t size;
      std::string results;
      if (!Number(r, m, 4, "GiID") || !r.Number(4, "ResSize", &size)) return false;
      m->AddNumber("ResSize", size);
      if (!r.Bytes(size, "Results", &results)) return false;
      m->AddText("Results", results, ValueKind::kBytes);
      return Number(r, m, 1, "Vote") && Number(r, m, 4, "NumPlrs");
    }
    case kVote:
      return Number(r, m, 4, "GiID") && Number(r, m, 1, "Vote");
    case kAccusePlayer:
      return Number(r, m, 4, "GiID") && Text(r, m, "Player");
    case kJoinGame:
      return Number(r, m, 4, "GiID");
    case kStats:
      return Text(r, m, "Stats");
    case kNewGameInstance:
      return Number(r, m, 4, "GiID") && Number(r, m, 4, "VotingFlags");
    case kNewGameResults:
      return DecodeResults(r, m);
    case kNewGameVote:
      return Number(r, m, 4, "GiID") && Number(r, m, 1, "Vote") && Text(r, m, "Voter");
    case kNewGameJoin:
      return Number(r, m, 4, "GiID") && Number(r, m, 4, "Result");
    case kIncomingMessage:
      return Text(r, m, "From") && Text(r, m, "Text");
  }
  return false;
}

}  // namespace

bool Decode(const uint8_t* payload, size_t size, Message* out, std::string* problem) {
  *out = Message();
  if (size == 0) {
    *problem = "empty payload: no type byte";
    return false;
  }
  out->type = payload[0];
  const char* name = TypeName(out->type);
  if (name == nullptr) {
    *problem = Format("unknown message type 0x%02zX", out->type);
    return false;
  }
  for (const FixedSize& fixed : kFixedSizes) {
    if (fixed.type == out->type && fixed.size != size) {
      *problem = Format("payload of %zu bytes; a ", size) + name + Format(" has %zu", fixed.size);
      return false;
    }
  }
  Reader reader(payload + 1, size - 1);
  if (!DecodeFields(reader, out)) {
    *problem = std::string(name) + ": " + reader.Problem();
    return false;
  }
  if (reader.Left() != 0) {
    *problem = std::string(name) + Format(": %zu bytes after the last field", reader.Left());
    return false;
  }
  return true;
}

const std::vector<FieldLayout>& EventFields(uint8_t type) {
  static const std::vector<FieldLayout> kNone;
  static const std::vector<FieldLayout> kInstance = {{"GiID", ValueKind::kNumber, 4},
                                                     {"VotingFlags", ValueKind::kNumber, 4}};
  static const std::vector<FieldLayout> kResults = {{"GiID", ValueKind::kNumber, 4},
                                                    {"Vote", ValueKind::kNumber, 1},
                                                    {"NumPlrs", ValueKind::kNumber, 4},
                                                    {"RecordsSize", ValueKind::kNumber, 4},
                                                    {"Player", ValueKind::kPlayer, 0}};
  static const std::vector<FieldLayout> kVoteFields = {{"GiID", ValueKind::kNumber, 4},
                                                       {"Vote", ValueKind::kNumber, 1},
                                                       {"Voter", ValueKind::kText, 0}};
  static const std::vector<FieldLayout> kJoin = {{"GiID", ValueKind::kNumber, 4},
                                                 {"Result", ValueKind::kNumber, 4}};
  static const std::vector<FieldLayout> kIncoming = {{"From", ValueKind::kText, 0},
                                                     {"Text", ValueKind::kText, 0}};
  switch (type) {
    case kNewGameInstance:
      return kInstance;
    case kNewGameResults:
      return kResults;
    case kNewGameVote:
      return kVoteFields;
    case kNewGameJoin:
      return kJoin;
    case kIncomingMessage:
      return kIncoming;
  }
  return kNone;
}

bool EncodeEvent(const Message& event, Bytes* payload, std::string* problem) {
  const std::vector<FieldLayout>& layouts = EventFields(event.type);
  if (layouts.empty()) {
    *problem = Format("0x%02zX is not an event", event.type);
    return false;
  }
  uint32_t players = 0;
  for (const Field& field : event.fields) {
    bool known = false;
    for (const FieldLayout& layout : layouts) known |= layout.name == field.name;
    if (!known) {
      *problem = std::string(TypeName(event.type)) + " has no field " + field.name;
      return false;
    }
    players += field.value.kind == ValueKind::kPlayer;
  }
  payload->assign(1, event.type);
  for (const FieldLayout& layout : layouts) {
    const Value* value = event.Find(layout.name);
    if (layout.kind == ValueKind::kNumber) {
      uint32_t number = value != nullptr ? value->number : 0;
      if (value == nullptr && layout.name == std::string("NumPlrs")) number = players;
      if (value == nullptr && layout.name == std::string("RecordsSize")) number = players * 36;
      for (int i = 0; i < layout.width; ++i)
        payload->push_back(static_cast<uint8_t>(number >> 8 * i));
    } else if (layout.kind == ValueKind::kText) {
      std::string text = value != nullptr ? value->text : "";
      payload->insert(payload->end(), text.begin(), text.end());
      payload->push_back(0);
    } else {
      // Player records: a 32-byte name field (a name of 32 characters or more fills it with
      // no terminating zero) and the rating.
      for (const Field& field : event.fields) {
        if (field.value.kind != ValueKind::kPlayer) continue;
        std::string name = field.value.text.substr(0, 32);
        name.resize(32, '\0');
        payload->insert(payload->end(), name.begin(), name.end());
        PutU32(payload, field.value.number);
      }
    }
  }
  return true;
}

Bytes Frame(const Bytes& payload) {
  Bytes frame;
  PutU32(&frame, static_cast<uint32_t>(payload.size() + 4));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

bool FrameSplitter::Feed(const uint8_t* data, size_t size, std::vector<Bytes>* frames) {
  pending_.insert(pending_.end(), data, data + size);
  if (!error_.empty()) return false;
  size_t start = 0;
  while (pending_.size() - start >= 4) {
    uint32_t total = GetU32(&pending_[start]);
    if (total < 5) {
      error_ = Format("length field %zu is below 5, leaving no room for a type byte", total);
      break;
    }
    if (total > kMaxFrame) {
      error_ = Format("length field %zu is above %zu", total, kMaxFrame);
      break;
    }
    if (pending_.size() - start < total) break;
    frames->emplace_back(pending_.begin() + start, pending_.begin() + start + total);
    start += total;
  }
  pending_.erase(pending_.begin(), pending_.begin() + start);
  return error_.empty();
}

std::vector<Incoming> RequestReader::Feed(const uint8_t* data, size_t size) {
  std::vector<Incoming> results;
  if (failed_) return results;
  std::vector<Bytes> frames;
  bool inStep = splitter_.Feed(data, size, &frames);
  for (Bytes& frame : frames) {
    Incoming in;
    uint8_t type = frame[4];
    if (!IsRequest(type)) {
      in.kind = Incoming::Kind::kUnknown;
      in.message.type = type;
      in.problem = IsEvent(type)
                       ? Format("type 0x%02zX is an event, which only meetpoint sends", type)
                       : Format("unknown message type 0x%02zX", type);
    } else if (!Decode(frame.data() + 4, frame.size() - 4, &in.message, &in.problem)) {
      in.kind = Incoming::Kind::kMalformed;
      in.message = Message();
      in.message.type = type;
    }
    in.frame = std::move(frame);
    results.push_back(std::move(in));
  }
  if (!inStep) {
    failed_ = true;
    Incoming in;
    in.kind = Incoming::Kind::kFramingError;
    in.problem = splitter_.Error();
    in.frame = splitter_.Held();
    results.push_back(std::move(in));
  }
  return results;
}

}  // namespace mp
