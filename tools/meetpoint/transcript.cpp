#include "transcript.h"

namespace mp {

std::string JsonString(const std::string& text) { return QuoteWith(text, "\\u%04x"); }

static std::string JsonFields(const Message& message) {
  std::string out = "{";
  std::string players;
  for (const Field& field : message.fields) {
    const Value& value = field.value;
    if (value.kind == ValueKind::kPlayer) {
      players += players.empty() ? "" : ",";
      players += "{\"Name\":" + JsonString(value.text) +
                 ",\"Rating\":" + std::to_string(value.number) + "}";
      continue;
    }
    if (out.size() > 1) out += ",";
    out += JsonString(field.name) + ":";
    if (value.kind == ValueKind::kNumber) {
      out += std::to_string(value.number);
    } else if (value.kind == ValueKind::kBytes) {
      out += "\"" + ToHex(reinterpret_cast<const uint8_t*>(value.text.data()), value.text.size()) +
             "\"";
    } else {
      out += JsonString(value.text);
    }
  }
  if (message.type == kNewGameResults) {
    out += std::string(out.size() > 1 ? "," : "") + "\"Players\":[" + players + "]";
  }
  return out + "}";
}

std::string TranscriptLine(const TranscriptEntry& entry) {
  std::string line = "{\"ms\":" + std::to_string(entry.ms) + ",\"time\":" + JsonString(entry.time) +
                     ",\"conn\":" + std::to_string(entry.connection) +
                     ",\"dir\":" + JsonString(entry.dir) + ",\"type\":" + JsonString(entry.type);
  if (entry.code >= 0) line += ",\"code\":" + std::to_string(entry.code);
  if (entry.message != nullptr) line += ",\"fields\":" + JsonFields(*entry.message);
  if (entry.raw != nullptr) line += ",\"raw\":\"" + ToHex(*entry.raw) + "\"";
  if (!entry.error.empty()) line += ",\"error\":" + JsonString(entry.error);
  if (!entry.note.empty()) line += ",\"note\":" + JsonString(entry.note);
  return line + "}";
}

Transcript::~Transcript() {
  if (file_ != nullptr) fclose(file_);
}

bool Transcript::Open(const std::string& path) {
  file_ = fopen(path.c_str(), "wb");
  return file_ != nullptr;
}

void Transcript::Write(const TranscriptEntry& entry) {
  if (file_ == nullptr) return;
  fprintf(file_, "%s\n", TranscriptLine(entry).c_str());
  fflush(file_);
}

}  // namespace mp
