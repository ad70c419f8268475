// Meetpoint as a hostile peer: payloads shorter than their fields, strings without their zero,
// player counts that don't fit, impossible length fields, frames cut into single bytes or sent
// two at once (random bytes are the event_stream fuzz target's). The game must only ever see whole
// events with bounded strings, each dropped message leaves a log line, and valid events get through
// again as soon as the stream is back in step.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/session_fixture.h"

namespace {

class HostilePeerTest : public StartedSessionTest {
 protected:
  void SetUp() override {
    StartedSessionTest::SetUp();
    RLSetLobbyMessageCallback(RecordLobbyMessage, 0);
    RLSetVotingCallback(RecordVote, 0);
    RLStartGameInstance(RecordGameInstance, 0);
    RLJoinGame(0, RecordJoin);
    RLSendGameResults(0, "", 0, 0, 0, RecordResults, 0);
  }

  // One valid event of each kind, paced: each reaches its callback exactly as sent.
  void ExpectStreamInStep() {
    size_t before = gCalls.Calls().size();
    SendEvent(NewGameVote(41, 1, "in step"));
    SendEvent(NewGameInstance(42, 2));
    SendEvent(NewGameJoin(43, 3));
    SendEvent(IncomingMessage("Ann", "still here"));
    SendEvent(NewGameResults(44, 'w', {{"Bo", 5}}));
    ASSERT_TRUE(gCalls.WaitFor(before + 5));
    EXPECT_EQ(gCalls.Calls(before),
              (std::vector<std::string>{"vote <in step> 41 1 0", "instance 42 2 0", "join 3 43 0",
                                        "lobby <Ann> <still here> 0", "results 44 119 1 Bo=5 0"}));
  }
};

// A results payload with the given counts and that many record bytes.
Bytes Results(uint32_t numPlrs, uint32_t recordsSize, size_t recordBytes) {
  Bytes b = Hex("21 01 00 00 00 78");
  mp::PutU32(&b, numPlrs);
  mp::PutU32(&b, recordsSize);
  b.resize(b.size() + recordBytes, 0x41);
  return b;
}

TEST_F(HostilePeerTest, PayloadsShorterThanTheirFieldsAreDroppedWithALogLine) {
  const struct {
    uint8_t type;
    size_t fields;  // bytes up to the end of the last fixed field
  } kEvents[] = {{0x20, 9}, {0x21, 14}, {0x22, 6}, {0x23, 9}};
  for (const auto& e : kEvents) {
    for (size_t n = 1; n < e.fields; ++n) {
      Bytes payload(n, 0x41);
      payload[0] = e.type;
      SendEvent(payload);
    }
  }
  for (const auto& e : kEvents) {
    char line[40];
    snprintf(line, sizeof line, "MP -> Malformed message 0x%02X", e.type);
    EXPECT_EQ(CountLog(line), e.fields - 1) << line;
  }
  EXPECT_TRUE(gCalls.Calls().empty());
  ExpectStreamInStep();
}

TEST_F(HostilePeerTest, StringsAreCutAndEndWithThePayloadNotWithOlderBytes) {
  // Long strings, in the largest frame the game receives (4095 bytes), fill the receive area
  // first: the short messages after them must not pick up what is left of them there.
  SendEvent(IncomingMessage(std::string(31, 'F'), std::string(4057, 'T')));
  SendEvent(Hex("2C 41 6E 6E 00 68 69"));  // the text "hi" without its zero
  SendEvent(Hex("2C 42 6F"));              // the name "Bo" without its zero, and no text
  SendEvent(Hex("2C"));                    // neither
  SendEvent(NewGameVote(1, 2, std::string(60, 'V')));
  SendEvent(Hex("22 07 00 00 00 01 43 79"));  // the voter "Cy" without its zero
  SendEvent(Hex("22 08 00 00 00 02"));        // no voter at all
  // A sender's name past 31 characters: the text still starts behind the name's zero.
  SendEvent(IncomingMessage(std::string(40, 'N'), "after the long name"));
  ASSERT_TRUE(gCalls.WaitFor(8));
  EXPECT_EQ(gCalls.Calls(),
            (std::vector<std::string>{
                "lobby <" + std::string(31, 'F') + "> <" + std::string(255, 'T') + "> 0",
                "lobby <Ann> <hi> 0", "lobby <Bo> <> 0", "lobby <> <> 0",
                "vote <" + std::string(31, 'V') + "> 1 2 0", "vote <Cy> 7 1 0", "vote <> 8 2 0",
                "lobby <" + std::string(31, 'N') + "> <after the long name> 0"}));
  EXPECT_EQ(CountLog("MP -> Malformed message 0x2C") + CountLog("MP -> Malformed message 0x22"),
            0u);
}

TEST_F(HostilePeerTest, ResultsWhoseRecordsDoNotFitThePayloadAreDropped) {
  SendEvent(Results(0xFFFFFFFF, 0, 0));  // far more records than any payload holds
  SendEvent(Results(0x71C71C72, 0, 8));  // 36 times the count is 8 when taken in 32 bits
  SendEvent(Results(2, 72, 71));         // the second record runs past the end
  SendEvent(Results(1, 37, 36));         // the stated size is above the records' size
  SendEvent(Results(0, 0xFFFFFFFF, 0));
  EXPECT_EQ(CountLog("MP -> Malformed message 0x21"), 5u);
  EXPECT_TRUE(gCalls.Calls().empty());

  // A stated size below the records' size passes, and the largest count that fits the largest
  // frame (113 records) arrives whole.
  Bytes smallSize = NewGameResults(1, 'x', {{"Ann", 1}, {"Bo", 2}});
  smallSize[10] = 10;
  SendEvent(smallSize);
  std::vector<std::pair<std::string, uint32_t>> many;
  for (uint32_t i = 0; i < 113; ++i) many.emplace_back("P", i);
  Bytes largest = NewGameResults(2, 'm', many);
  ASSERT_EQ(Frame(largest).size(), 4086u);
  SendEvent(largest);
  ASSERT_TRUE(gCalls.WaitFor(2));
  EXPECT_EQ(gCalls.Calls()[0], "results 1 120 2 Ann=1 Bo=2 0");
  const std::string all = gCalls.Calls()[1];
  EXPECT_EQ(all.rfind("results 2 109 113 P=0 P=1 ", 0), 0u) << all.substr(0, 60);
  EXPECT_EQ(all.substr(all.size() - 8), " P=112 0");
  ExpectStreamInStep();
}

TEST_F(HostilePeerTest, BrokenFramingIsDroppedAndTheStreamStaysInStep) {
  // Two frames in one write: the first is delivered; the second came in the same receive and
  // is lost with the rest of it.
  Bytes two = Frame(NewGameJoin(6, 1));
  Bytes second = Frame(NewGameJoin(7, 1));
  two.insert(two.end(), second.begin(), second.end());
  SendRaw(two);
  ASSERT_TRUE(gCalls.WaitFor(1));
  EXPECT_EQ(gCalls.Calls(), std::vector<std::string>{"join 1 6 0"});
  ExpectStreamInStep();

  // Length fields of 0 to 4 leave no room for a type byte (after whole frames, whose type
  // bytes are still in the receive area).
  StreamCapture err(stderr);
  for (uint32_t length = 0; length <= 4; ++length) {
    Bytes field;
    mp::PutU32(&field, length);
    SendRaw(field);
  }
  EXPECT_EQ(CountLog("MP -> Unknown message type"), 5u);
  std::string fiveZeros;
  for (int i = 0; i < 5; ++i) fiveZeros += "Unknown message 0x00\n";
  EXPECT_EQ(err.Text(), fiveZeros);

  // A frame cut into single bytes, its length field included, is put together again.
  size_t before = gCalls.Calls().size();
  ASSERT_TRUE(meetpoint.SendInPieces(Frame(NewGameVote(5, 1, "piecemeal")), 1, 10));
  ASSERT_TRUE(gCalls.WaitFor(before + 1));
  EXPECT_EQ(gCalls.Calls(before), std::vector<std::string>{"vote <piecemeal> 5 1 0"});
}

TEST_F(HostilePeerTest, SlowFramesThatNeverCompleteAreDroppedAfterTheirWait) {
  // A length field beyond the bytes that follow: the receive waits 5 s for the rest, then
  // drops what it has.
  Bytes cut;
  mp::PutU32(&cut, 100);
  Bytes vote = NewGameVote(1, 1, "cut short");
  cut.insert(cut.end(), vote.begin(), vote.end());
  SendRaw(cut, 10000);
  EXPECT_EQ(CountLog("MP -> Unknown message type"), 1u);

  // The largest frame that a sender may send (4096 bytes) is one byte more than the receive
  // takes: its first 4095 bytes are dropped at once, the last one after its wait.
  Bytes largest = Frame(IncomingMessage(std::string(31, 'f'), std::string(4058, 't')));
  ASSERT_EQ(largest.size(), 4096u);
  ASSERT_TRUE(meetpoint.Send(largest));
  EXPECT_TRUE(WaitUntil(10000, [&] { return CountLog("MP -> Unknown message type") == 3; }));
  EXPECT_TRUE(gCalls.Calls().empty());
  ExpectStreamInStep();
}

}  // namespace
