#include "frames.h"

#include <cstring>

#include "codec.h"

uint32_t FrameInto(const uint8_t* payload, uint32_t length, uint8_t* frame) {
  uint32_t total = length + 4;
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(total >> (8 * i));
  memcpy(frame + 4, payload, length);
  return total;
}

static mp::Bytes EventFrame(const mp::Message& event) {
  mp::Bytes payload;
  std::string problem;
  if (!mp::EncodeEvent(event, &payload, &problem)) return {};
  return mp::Frame(payload);
}

mp::Bytes VoteEventFrame(uint32_t giid) {
  mp::Message vote;
  vote.type = mp::kNewGameVote;
  vote.AddNumber("GiID", giid);
  vote.AddNumber("Vote", 1);
  vote.AddText("Voter", "Voter");
  return EventFrame(vote);
}

mp::Bytes ResultsEventFrame(uint32_t giid) {
  mp::Message results;
  results.type = mp::kNewGameResults;
  results.AddNumber("GiID", giid);
  results.AddNumber("Vote", 1);
  results.AddPlayer("First", 1500);
  results.AddPlayer("Second", 1450);
  return EventFrame(results);
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
