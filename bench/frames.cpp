#include "frames.h"

#include <cstring>

#include "codec.h"
#include "events.h"

uint32_t FrameInto(const uint8_t* payload, uint32_t length, uint8_t* frame) {
  uint32_t total = length + 4;
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(total >> (8 * i));
  memcpy(frame + 4, payload, length);
  return total;
}

mp::Bytes VoteEventFrame(uint32_t giid) { return mp::Frame(NewGameVote(giid, 1, "Voter")); }

mp::Bytes ResultsEventFrame(uint32_t giid) {
  return mp::Frame(NewGameResults(giid, 1, {{"First", 1500}, {"Second", 1450}}));
}

std::string DescribeRequests(const mp::Bytes& stream) {
  mp::RequestReader reader;
  std::string lines;
  for (const mp::Incoming& in : reader.Feed(stream.data(), stream.size())) {
    if (in.kind == mp::Incoming::Kind::kRequest) {
      lines += mp::FormatLine(in.message);
    } else {
      lines += "bad frame: " + in.problem;
    }
    lines += "\n";
  }
  if (reader.Pending() != 0) lines += "incomplete frame\n";
  return lines;
}
