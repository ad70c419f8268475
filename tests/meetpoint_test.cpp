// meetpoint's parts on their own: the game's byte stream cut into requests, the lobby's
// answers, the script language and the transcript.
#include <gtest/gtest.h>

#include "codec.h"
#include "lobby.h"
#include "script.h"
#include "support/test_env.h"
#include "transcript.h"

using namespace mp;

namespace {

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A request decoded from its payload.
Message Request(const std::string& payloadHex) {
  Bytes payload = Hex(payloadHex);
  Message message;
  std::string problem;
  EXPECT_TRUE(Decode(payload.data(), payload.size(), &message, &problem)) << problem;
  return message;
}

// The events the lobby answers a request with, as meetpoint prints them, one line each.
std::string Answers(Lobby& lobby, const std::string& payloadHex) {
  std::string lines;
  for (const Message& event : lobby.Handle(Request(payloadHex))) lines += FormatLine(event) + "\n";
  return lines;
}

// The payload of the event a script line makes; *decoded: that payload read back.
Bytes EventPayload(const std::string& line, Message* decoded = nullptr) {
  Message event;
  Bytes payload;
  std::string problem;
  EXPECT_TRUE(ParseEvent(line, &event, &problem)) << problem;
  EXPECT_TRUE(EncodeEvent(event, &payload, &problem)) << problem;
  if (decoded) {
    EXPECT_TRUE(Decode(payload.data(), payload.size(), decoded, &problem)) << problem;
  }
  return payload;
}

const Bytes kJoinFrame = Frame(Hex("0a05000000"));

}  // namespace

// A stream read whole and in pieces gives the same requests: the meetpoint_reader fuzz target,
// whose corpus (a whole session of the sample game among it) every test run replays.

TEST(Meetpoint, ReaderBadPayloadIsReportedAndTheNextFrameStillReads) {
  const struct {
    const char* payload;
    const char* problem;
  } cases[] = {
      {"0a070000", "payload of 4 bytes; a JoinGame has 5"},
      {"020000", "payload of 3 bytes; a Shutdown has 1"},
      {"0c00", "unknown message type 0x0C"},
      {"2201", "type 0x22 is an event, which only meetpoint sends"},
      {"05 2800", "LobbyMessage: From length 40 is above 31"},
      {"05 0100 41 0001", "LobbyMessage: Text length 256 is above 255"},
      {"03 0101", "ServerDescription: Extra length 257 is above 256"},
      {"09 07000000 436c656f", "AccusePlayer: Player has no terminating zero"},
      {"07 07000000 09000000 6162 01 02000000",
       "GameResults: payload of 16 bytes ends inside Results"},
      {"0b 3000 3100", "Stats: 2 bytes after the last field"},
  };
  for (const auto& c : cases) {
    RequestReader reader;
    Bytes stream = Concat(Frame(Hex(c.payload)), kJoinFrame);
    std::vector<Incoming> results = reader.Feed(stream.data(), stream.size());
    ASSERT_EQ(results.size(), 2u) << c.payload;
    EXPECT_NE(results[0].kind, Incoming::Kind::kRequest) << c.payload;
    EXPECT_EQ(results[0].problem, c.problem);
    EXPECT_EQ(results[0].frame, Frame(Hex(c.payload)));
    EXPECT_EQ(results[1].kind, Incoming::Kind::kRequest);
    EXPECT_EQ(FormatLine(results[1].message), "JoinGame GiID=5");
  }
}

TEST(Meetpoint, ReaderLengthFieldOutOfRangeEndsTheStream) {
  for (const char* length : {"04000000", "01100000"}) {
    RequestReader reader;
    Bytes stream = Concat(Hex(length), kJoinFrame);
    std::vector<Incoming> results = reader.Feed(stream.data(), stream.size());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].kind, Incoming::Kind::kFramingError);
    EXPECT_EQ(results[0].frame, stream);
    EXPECT_TRUE(reader.Feed(kJoinFrame.data(), kJoinFrame.size()).empty());
  }
  // The largest frame the game may send is still taken.
  Bytes stats(1, kStats);
  stats.resize(4091, '7');
  stats.push_back(0);
  Bytes frame = Frame(stats);
  ASSERT_EQ(frame.size(), kMaxFrame);
  RequestReader reader;
  std::vector<Incoming> results = reader.Feed(frame.data(), frame.size());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].kind, Incoming::Kind::kRequest);
}

TEST(Meetpoint, LobbyAnswersEachRequestLikeALobby) {
  Lobby lobby{LobbySettings()};
  EXPECT_EQ(Answers(lobby, "06"), "NewGameInstance GiID=1 VotingFlags=1\n");
  EXPECT_EQ(Answers(lobby, "06"), "NewGameInstance GiID=2 VotingFlags=1\n");
  EXPECT_EQ(Answers(lobby, "0a 02000000"), "NewGameJoin GiID=2 Result=1\n");
  EXPECT_EQ(Answers(lobby, "0a 09000000"), "NewGameJoin GiID=9 Result=0\n");
  EXPECT_EQ(Answers(lobby, "08 02000000 03"), "NewGameVote GiID=2 Vote=3 Voter=\"Ada\"\n");
  EXPECT_EQ(Answers(lobby, "05 0300 426f62 0200 6869"),
            "IncomingMessage From=\"Bob\" Text=\"hi\"\n");
  // A game instance that a script announced can be joined as well.
  Message announced;
  std::string problem;
  ASSERT_TRUE(ParseEvent("NewGameInstance GiID=9", &announced, &problem));
  lobby.Sent(announced);
  EXPECT_EQ(Answers(lobby, "0a 09000000"), "NewGameJoin GiID=9 Result=1\n");

  // Reports are kept, not answered.
  for (const char* report :
       {"01 0100", "04 05", "0b 3400", "03 0100 aa 0000", "09 02000000 4300", "02"}) {
    EXPECT_TRUE(Answers(lobby, report).empty()) << report;
  }
  std::vector<std::string> state = lobby.Describe();
  EXPECT_EQ(state[0], "game instances: 1 2 9");
  EXPECT_EQ(state[1], "initialise value: 1, game state: 5");
  EXPECT_EQ(state[3], "statistics: \"4\"");
  EXPECT_EQ(state[4], "server description: Extra=aa Non=");
  EXPECT_EQ(state[5], "accused players: \"C\" in 2");
}

TEST(Meetpoint, LobbyRatingsFollowTheScoresAcrossGames) {
  LobbySettings settings;
  settings.others = {"Bram", "Cleo"};
  Lobby lobby(settings);
  // Scores 3, 1, 2: Ada beats two players, Bram loses to two, Cleo beats one and loses to one.
  EXPECT_EQ(Answers(lobby, "07 01000000 03000000 333132 01 03000000"),
            "NewGameResults GiID=1 Vote=1 NumPlrs=3 RecordsSize=108 "
            "Player=\"Ada\":1020 Player=\"Bram\":980 Player=\"Cleo\":1000\n");
  // Without result bytes every score is 0 and no rating moves; a fourth player gets a name.
  EXPECT_EQ(Answers(lobby, "07 01000000 00000000 02 04000000"),
            "NewGameResults GiID=1 Vote=2 NumPlrs=4 RecordsSize=144 Player=\"Ada\":1020 "
            "Player=\"Bram\":980 Player=\"Cleo\":1000 Player=\"Player4\":1000\n");
  EXPECT_EQ(lobby.Rating("Bram"), 980u);

  // More players than a frame the game can receive holds are cut to what fits.
  std::vector<Message> events = lobby.Handle(Request("07 01000000 00000000 01 f4010000"));
  ASSERT_EQ(events.size(), 1u);
  Bytes payload;
  std::string problem;
  ASSERT_TRUE(EncodeEvent(events[0], &payload, &problem)) << problem;
  EXPECT_EQ(events[0].Find("NumPlrs")->number, kMaxPlayerRecords);
  EXPECT_LE(Frame(payload).size(), kMaxEventFrame);

  settings.answer = false;
  Lobby silent(settings);
  EXPECT_TRUE(Answers(silent, "06").empty());
  EXPECT_TRUE(Answers(silent, "07 01000000 01000000 09 01 02000000").empty());
  EXPECT_EQ(silent.Rating("Ada"), 1010u);
}

TEST(Meetpoint, ScriptReadsEveryCommand) {
  const char script[] =
      "# a comment, then a blank line\n"
      "\n"
      "send NewGameJoin GiID=5 Result=1   # a comment after a command\n"
      "frame 23 05000000\n"
      "raw 0d000000 23\r\n"
      "wait 250\n"
      "await JoinGame\n"
      "await Vote 100\n"
      "together pieces 3\n"
      "  send IncomingMessage From=\"A # \\\"b\\\"\" Text=hi\n"
      "  raw ff\n"
      "end\n"
      "together gap 7\n"
      "  raw 01\n"
      "end\n"
      "close\nreset\nshow\nquit\n";
  std::vector<Command> commands;
  std::string error;
  ASSERT_TRUE(ParseScript(script, &commands, &error)) << error;
  ASSERT_EQ(commands.size(), 12u);
  EXPECT_EQ(commands[0].chunks[0].bytes, Frame(Hex("23 05000000 01000000")));
  EXPECT_EQ(commands[0].line, 3);
  EXPECT_EQ(commands[1].chunks[0].bytes, Frame(Hex("23 05000000")));
  EXPECT_TRUE(commands[1].chunks[0].framed);
  EXPECT_EQ(commands[2].chunks[0].bytes, Hex("0d00000023"));
  EXPECT_FALSE(commands[2].chunks[0].framed);
  EXPECT_EQ(commands[3].kind, Command::Kind::kWait);
  EXPECT_EQ(commands[3].ms, 250u);
  EXPECT_EQ(commands[4].type, kJoinGame);
  EXPECT_EQ(commands[4].ms, kDefaultAwaitMs);
  EXPECT_EQ(commands[5].ms, 100u);
  const Command& pieces = commands[6];
  ASSERT_EQ(pieces.chunks.size(), 2u);
  EXPECT_EQ(pieces.pieceSize, 3u);
  EXPECT_EQ(pieces.gapMs, kDefaultPieceGapMs);
  EXPECT_EQ(pieces.chunks[0].bytes, Frame(Hex("2c 41202320226222 00 686900")));
  EXPECT_EQ(commands[7].pieceSize, 0u);
  EXPECT_EQ(commands[7].gapMs, 7u);
  const Command::Kind kLast[] = {Command::Kind::kClose, Command::Kind::kReset, Command::Kind::kShow,
                                 Command::Kind::kQuit};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(commands[8 + i].kind, kLast[i]);
}

TEST(Meetpoint, ScriptBadScriptsNameTheFirstBadLine) {
  const struct {
    const char* script;
    const char* error;
  } cases[] = {
      {"\n\nsned NewGameJoin\n", "line 3: unknown command 'sned'"},
      {"wait soon", "line 1: wait takes a time in milliseconds"},
      {"send JoinGame GiID=1", "line 1: 'JoinGame' is no event"},
      {"send NewGameJoin Colour=1", "line 1: 'Colour=1' is no field of NewGameJoin"},
      {"send NewGameVote Vote=256", "line 1: Vote=256 is no number from 0 to 255"},
      {"send NewGameJoin GiID=-1", "line 1: GiID=-1 is no number"},
      {"send NewGameResults Player=Ada", "line 1: Player=Ada is not \"name\":rating"},
      {"send IncomingMessage From=\"open", "line 1: a quote is not closed"},
      {"send IncomingMessage From=\"\\q\"", "line 1: From=\"\\q\" is no valid text"},
      {"frame 2", "line 1: frame: the bytes are not pairs of hex digits"},
      {"raw", "line 1: raw: no bytes"},
      {"await NewGameJoin", "line 1: await takes a request name"},
      {"close now", "line 1: close takes no arguments"},
      {"together pieces\nend", "line 1: together takes 'pieces <bytes>' and 'gap <ms>'"},
      {"together\nwait 5\nend", "line 2: only send, frame and raw may stand between"},
      {"together\nend", "line 2: together ... end holds nothing to send"},
      {"end", "line 1: end without together"},
      {"wait 1\ntogether\nraw 00\n", "line 2: together without end"},
  };
  for (const auto& c : cases) {
    std::vector<Command> commands;
    std::string error;
    EXPECT_FALSE(ParseScript(c.script, &commands, &error)) << c.script;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.script << " gave: " << error;
  }
}

TEST(Meetpoint, ScriptEventLinesReadBackAsTheyArePrinted) {
  const char* lines[] = {
      "NewGameVote GiID=4294967295 Vote=255 Voter=\"q\\\"b\\\\s\\n\\t\\x01\\xe9 #\"",
      "NewGameResults GiID=1 Vote=0 NumPlrs=2 RecordsSize=72 Player=\"A:B\":5 Player=\"\":0",
      "IncomingMessage From=\"\" Text=\"\"",
  };
  for (const char* line : lines) {
    Message event;
    EventPayload(line, &event);
    EXPECT_EQ(FormatLine(event), line);
  }
  // Counts follow the records unless given; a 32-character name fills its field, unended.
  std::string name(32, 'n');
  Bytes payload = EventPayload("NewGameResults Player=" + name + ":7 Player=b:8");
  ASSERT_EQ(payload.size(), 14u + 2 * 36);
  EXPECT_EQ(ToHex(payload.data(), 14),
            "21000000000002000000"
            "48000000");
  EXPECT_EQ(std::string(payload.begin() + 14, payload.begin() + 46), name);
  EXPECT_EQ(ToHex(EventPayload("NewGameResults NumPlrs=5")), "2100000000000500000000000000");
}

TEST(Meetpoint, TranscriptWritesOneJsonObjectPerLine) {
  Message event;
  EventPayload("NewGameResults GiID=7 Vote=1 Player=\"A\\\"\\xe9\":5", &event);
  Bytes raw = {0x01, 0xab};
  TranscriptEntry entry;
  entry.ms = 12;
  entry.time = "2024-05-01T12:00:00.123Z";
  entry.connection = 2;
  entry.dir = "out";
  entry.type = "NewGameResults";
  entry.code = kNewGameResults;
  entry.message = &event;
  entry.raw = &raw;
  EXPECT_EQ(
      TranscriptLine(entry),
      "{\"ms\":12,\"time\":\"2024-05-01T12:00:00.123Z\",\"conn\":2,\"dir\":\"out\","
      "\"type\":\"NewGameResults\",\"code\":33,\"fields\":{\"GiID\":7,\"Vote\":1,"
      "\"NumPlrs\":1,\"RecordsSize\":36,\"Players\":[{\"Name\":\"A\\\"\\u00e9\",\"Rating\":5}]},"
      "\"raw\":\"01ab\"}");

  Message description = Request("03 0100 aa 0000");
  TranscriptEntry bad;
  bad.type = "ServerDescription";
  bad.code = kServerDescription;
  bad.message = &description;
  bad.error = "why";
  EXPECT_EQ(TranscriptLine(bad),
            "{\"ms\":0,\"time\":\"\",\"conn\":0,\"dir\":\"in\",\"type\":\"ServerDescription\","
            "\"code\":3,\"fields\":{\"Extra\":\"aa\",\"Non\":\"\"},\"error\":\"why\"}");
}
