// The examples of docs/protocol.md against meetpoint's decoder and encoder, so that the
// document and the code can't drift apart. Each example is a fenced "example" block: the frame
// in hex, then the line meetpoint prints for it.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "codec.h"
#include "script.h"

using namespace mp;

namespace {

struct Example {
  int line;
  std::string hex;
  std::string printed;
};

std::vector<Example> ReadExamples(const std::string& path) {
  std::ifstream file(path);
  std::vector<Example> examples;
  std::string text;
  int number = 0;
  while (std::getline(file, text)) {
    ++number;
    if (text != "```example") continue;
    Example example;
    example.line = number;
    std::getline(file, example.hex);
    std::getline(file, example.printed);
    number += 2;
    examples.push_back(example);
  }
  return examples;
}

}  // namespace

TEST(ProtocolDocument, EveryExampleMatchesTheCode) {
  std::vector<Example> examples = ReadExamples(RALLYLINK_PROTOCOL_DOC);
  std::set<uint8_t> types;
  for (const Example& example : examples) {
    SCOPED_TRACE("example at line " + std::to_string(example.line));
    Bytes frame;
    ASSERT_TRUE(ParseHex(example.hex, &frame));
    ASSERT_GE(frame.size(), 5u);
    types.insert(frame[4]);
    std::string direction = example.printed.substr(0, 3);
    std::string line = example.printed.substr(3);
    if (direction == "<- ") {
      RequestReader reader;
      std::vector<Incoming> results = reader.Feed(frame.data(), frame.size());
      ASSERT_EQ(results.size(), 1u);
      EXPECT_EQ(results[0].problem, "");
      EXPECT_EQ(FormatLine(results[0].message), line);
    } else {
      ASSERT_EQ(direction, "-> ");
      Message event;
      Bytes payload;
      std::string problem;
      ASSERT_TRUE(ParseEvent(line, &event, &problem)) << problem;
      ASSERT_TRUE(EncodeEvent(event, &payload, &problem)) << problem;
      EXPECT_EQ(ToHex(Frame(payload)), ToHex(frame));
      ASSERT_TRUE(Decode(frame.data() + 4, frame.size() - 4, &event, &problem)) << problem;
      EXPECT_EQ(FormatLine(event), line);
    }
  }
  EXPECT_EQ(types.size(), 16u) << "each of the 16 messages has one example";
}
