// Statistics and server description blocks: what the exports keep and what Meetpoint
// receives when they are sent.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/session_fixture.h"

namespace {

class StatisticsTest : public StartedSessionTest {
 protected:
  void SetUp() override {
    StartedSessionTest::SetUp();
    RLResetStats();
    RLSetGameSpecificData(1, nullptr, 0);
    RLSetGameSpecificData(2, nullptr, 0);
  }
  // Sends the statistics and returns the text Meetpoint got (type and zero checked).
  std::string SentStats() {
    size_t before = meetpoint.Frames().size();
    EXPECT_EQ(RLSendStats(), 0u);
    EXPECT_TRUE(meetpoint.WaitFrames(before + 1));
    Bytes p = meetpoint.Frames().back();
    EXPECT_EQ(p.front(), 0x0B);
    EXPECT_EQ(p.back(), 0);
    return std::string(p.begin() + 1, p.end() - 1);
  }
  Bytes Flushed() {
    size_t before = meetpoint.Frames().size();
    EXPECT_EQ(RLFlushServerDescriptionChanges(), 0u);
    EXPECT_TRUE(meetpoint.WaitFrames(before + 1));
    return meetpoint.Frames().back();
  }
};

TEST_F(StatisticsTest, IntegersAreLoggedSignedAndSentUnsignedUntilAReset) {
  EXPECT_EQ(RLAddIntegerStat(3, 42), 1u);
  EXPECT_EQ(RLAddIntegerStat(0, -1), 1u);
  EXPECT_EQ(RLAddIntegerStat(16, 5), 1u);  // no such slot: nothing changes
  EXPECT_EQ(SentStats(), "4294967295,0,0,42,0,0,0,0,0,0,0,0,0,0,0,0");
  EXPECT_EQ(LogFrom("RLAddIntegerStat( Index:3 , Value:42 )"),
            (std::vector<std::string>{"RLAddIntegerStat( Index:3 , Value:42 )",
                                      "RLAddIntegerStat( Index:0 , Value:-1 )",
                                      "RLAddIntegerStat( Index:16 , Value:5 )", "RLSendStats()"}));
  EXPECT_EQ(RLResetStats(), 1u);
  EXPECT_EQ(SentStats(), "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0");
}

// The Windows runtime's "%G" (the formatter's own test holds every case): the log line and the
// text sent both use it.
TEST_F(StatisticsTest, FloatsUseTheClassicGFormat) {
  const std::pair<double, const char*> cases[] = {
      {0.5, "0.5"},
      {1234567.0, "1.23457E+006"},
      {-std::numeric_limits<double>::infinity(), "-1.#INF"},
      {std::numeric_limits<double>::quiet_NaN(), "1.#QNAN"},
  };
  std::string expected;
  uint32_t slot = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(RLAddFloatStat(slot, c.first), 1u);
    EXPECT_EQ(
        CountLog("RLAddFloatStat( Index:" + std::to_string(slot) + " , Value:" + c.second + " )"),
        1u)
        << c.second;
    expected += (slot > 0 ? "," : "") + std::string(c.second);
    ++slot;
  }
  for (; slot < 16; ++slot) expected += ",0";
  EXPECT_EQ(RLAddFloatStat(16, -1234567.0), 1u);  // no such slot: nothing changes
  EXPECT_EQ(SentStats(), expected);
}

TEST_F(StatisticsTest, StatisticsNeedNoSessionAndSendingOutsideOneFailsQuietly) {
  EXPECT_EQ(RLShutdown(), 0);
  EXPECT_EQ(RLAddIntegerStat(1, 9), 1u);
  EXPECT_EQ(RLSendStats(), 1u);
  EXPECT_NE(out->Text().find("RLAddIntegerStat( Index:1 , Value:9 )\nRLSendStats()\n"),
            std::string::npos);
  EXPECT_EQ(out->Text().find("FAILED: RLSendStats"), std::string::npos);
  Start();
  EXPECT_EQ(SentStats(), "0,9,0,0,0,0,0,0,0,0,0,0,0,0,0,0");
}

TEST_F(StatisticsTest, EmptyAndFilledBlocksAreFlushedWithTheirSizes) {
  EXPECT_EQ(Flushed(), Hex("03 00 00 00 00"));
  const uint8_t extra[] = {0xAA, 0xBB, 0xCC};
  EXPECT_EQ(RLSetGameSpecificData(1, extra, 3), 0u);
  EXPECT_EQ(Flushed(), Hex("03 03 00 AA BB CC 00 00"));
  const uint8_t non[] = {0x11, 0x22};
  EXPECT_EQ(RLSetGameSpecificData(7, non, 2), 0u);  // any number but 1 is "Non"
  EXPECT_EQ(Flushed(), Hex("03 03 00 AA BB CC 02 00 11 22"));
  EXPECT_EQ(CountLog("RLSetGameSpecificData( Block:'Extra', Size:3 )"), 1u);
  EXPECT_EQ(CountLog("RLSetGameSpecificData( Block:'Non', Size:2 )"), 1u);
  EXPECT_EQ(CountLog("RLFlushServerDescriptionChanges()"), 3u);
}

TEST_F(StatisticsTest, BlocksKeepAtMost256Bytes) {
  std::vector<uint8_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(RLSetGameSpecificData(1, data.data(), 300), 0u);
  EXPECT_EQ(CountLog("RLSetGameSpecificData( Block:'Extra', Size:300 )"), 1u);
  RLSetGameSpecificData(2, data.data() + 1, 256);
  Bytes payload = Flushed();
  ASSERT_EQ(payload.size(), 5u + 256 + 256);
  EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 3), Hex("03 00 01"));
  EXPECT_EQ(Bytes(payload.begin() + 3, payload.begin() + 259),
            Bytes(data.begin(), data.begin() + 256));
  EXPECT_EQ(Bytes(payload.begin() + 259, payload.begin() + 261), Hex("00 01"));
}

TEST_F(StatisticsTest, BitUpdatesStayInsideTheBlock) {
  const uint8_t two[] = {0, 0};
  const uint8_t ones = 0xFF;
  RLSetGameSpecificData(1, two, 2);
  EXPECT_EQ(RLUpdateGameSpecificData(1, 4, 8, &ones), 0u);  // across a byte boundary
  EXPECT_EQ(CountLog("RLUpdateGameSpecificData( Block:'Extra', BitPos:4 BitSize:8 )"), 1u);
  const uint8_t one[] = {0};
  const uint8_t low = 0x0F;
  RLSetGameSpecificData(2, one, 1);
  RLUpdateGameSpecificData(2, 6, 4, &low);  // two bits fall behind the block: dropped
  EXPECT_EQ(Flushed(), Hex("03 02 00 F0 0F 01 00 C0"));
  // Clearing as well as setting; far positions never wrap back into the block.
  const uint8_t pattern = 0x05;
  RLUpdateGameSpecificData(1, 0, 4, &pattern);
  RLUpdateGameSpecificData(1, 0xFFFFFFF8u, 0xFFFFFFFFu, &ones);
  RLSetGameSpecificData(2, nullptr, 0);
  RLUpdateGameSpecificData(2, 0, 8, &ones);  // an empty block changes nothing
  EXPECT_EQ(Flushed(), Hex("03 02 00 F5 0F 00 00"));
}

}  // namespace
