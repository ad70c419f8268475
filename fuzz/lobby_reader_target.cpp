// The lobby server's reading of a meetpoint's bytes: frames cut from the stream, then each
// payload decoded. The same input is read whole and in pieces whose sizes come from the input;
// both readings must agree. A payload that decodes must encode back to the same bytes.
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "protocol.h"

namespace {

// One line per payload: what it decoded to, or the problem.
std::vector<std::string> Read(const std::vector<lobby::Bytes>& payloads) {
  std::vector<std::string> lines;
  for (const lobby::Bytes& payload : payloads) {
    lobby::Message message;
    std::string problem;
    if (!lobby::Decode(payload.data(), payload.size(), &message, &problem)) {
      if (problem.empty()) FuzzFail("a refused payload has no problem named");
      lines.push_back("! " + problem);
      continue;
    }
    lobby::Bytes again;
    if (!lobby::Encode(message, &again, &problem) || again != payload) {
      FuzzFail("a decoded payload does not encode back to the same bytes");
    }
    lines.push_back(lobby::Describe(message));
  }
  return lines;
}

}  // namespace

int FuzzLobbyReader(const uint8_t* data, size_t size) {
  lobby::FrameReader whole;
  std::vector<lobby::Bytes> all;
  bool inStep = whole.Feed(data, size, &all);

  lobby::FrameReader pieces;
  std::vector<lobby::Bytes> some;
  bool piecesInStep = true;
  for (size_t at = 0; at < size && piecesInStep;) {
    size_t piece = 1 + data[at] % 13;
    if (piece > size - at) piece = size - at;
    piecesInStep = pieces.Feed(data + at, piece, &some);
    at += piece;
  }
  if (inStep != piecesInStep) FuzzFail("one reading lost step and the other did not");
  if (Read(all) != Read(some)) FuzzFail("reading in pieces gave other messages than reading whole");
  if (inStep && whole.Pending() != pieces.Pending())
    FuzzFail("the readings hold back different bytes");
  return 0;
}
