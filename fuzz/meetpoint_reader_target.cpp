// meetpoint's reading of a game's bytes: the frame splitter and the request decoder. The same
// input is read whole and in pieces whose sizes come from the input itself; both readings
// must give the same requests, problems and framing errors, and every request must print.
#include <string>
#include <vector>

#include "codec.h"
#include "fuzz_targets.h"

namespace {

// One line per thing read, so that two readings can be compared. A framing error is found
// as soon as its length field is complete, so the bytes held with it depend on the pieces.
std::vector<std::string> Describe(const std::vector<mp::Incoming>& read) {
  std::vector<std::string> lines;
  for (const mp::Incoming& in : read) {
    bool framing = in.kind == mp::Incoming::Kind::kFramingError;
    std::string line = std::to_string(static_cast<int>(in.kind)) + " " + in.problem + " " +
                       (framing ? "" : std::to_string(in.frame.size()));
    if (in.kind == mp::Incoming::Kind::kRequest) {
      std::string printed = mp::FormatLine(in.message);
      if (printed.empty()) FuzzFail("a decoded request prints as nothing");
      line += " " + printed;
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

int FuzzMeetpointReader(const uint8_t* data, size_t size) {
  mp::RequestReader whole;
  std::vector<mp::Incoming> all = whole.Feed(data, size);
  std::vector<std::string> once = Describe(all);
  bool failed = !all.empty() && all.back().kind == mp::Incoming::Kind::kFramingError;

  mp::RequestReader pieces;
  std::vector<mp::Incoming> read;
  for (size_t at = 0; at < size;) {
    size_t piece = 1 + data[at] % 7;  // 1 to 7 bytes, chosen by the data
    if (piece > size - at) piece = size - at;
    std::vector<mp::Incoming> some = pieces.Feed(data + at, piece);
    read.insert(read.end(), some.begin(), some.end());
    at += piece;
  }
  if (Describe(read) != once) FuzzFail("reading in pieces gave other results than reading whole");
  // After a framing error each reading stops where it found it.
  if (!failed && pieces.Pending() != whole.Pending()) {
    FuzzFail("the two readings hold back different bytes");
  }
  return 0;
}
