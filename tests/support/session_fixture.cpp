#include "session_fixture.h"

#include <cstring>
#include <sstream>

CallLog gCalls;

void SessionTest::SetUp() {
  SetClientPortValue(std::to_string(meetpoint.Port()));
  out = std::make_unique<StreamCapture>(stdout);
  gCalls.Clear();
}

void SessionTest::TearDown() {
  RLShutdown();
  // Put every slot's default back for the next test in this process.
  RLSetLobbyMessageCallback(nullptr, 0);
  RLSetVotingCallback(nullptr, 0);
  RLStartGameInstance(nullptr, 0);
  RLJoinGame(0, nullptr);
  RLSendGameResults(0, nullptr, 0, 0, 0, nullptr, 0);
  // GoogleTest reports failures on standard output: show what was captured with them.
  std::string captured = out->Text();
  out.reset();
  if (HasFailure()) printf("--- standard output during the test ---\n%s\n", captured.c_str());
  DeleteClientPortKey();
}

void SessionTest::Start(uint16_t initialiseValue) {
  size_t before = meetpoint.Frames().size();
  ASSERT_EQ(RLInitialise(0, initialiseValue), 0);
  ASSERT_TRUE(meetpoint.WaitFrames(before + 1));
}

std::vector<std::string> SessionTest::LogMessages() {
  std::vector<std::string> messages;
  std::string text = ReadTextFile("RallylinkLog.txt");
  size_t end = text.rfind('\n');
  if (end == std::string::npos) return messages;
  for (const std::string& line : SplitLines(text.substr(0, end + 1))) {
    // "[hh:mm:ss]  " in front of every line that isn't part of a banner
    if (line.size() >= 12 && line[0] == '[' && line[9] == ']') messages.push_back(line.substr(12));
  }
  return messages;
}

size_t SessionTest::CountLog(const std::string& line) {
  size_t n = 0;
  for (const std::string& m : LogMessages()) n += m == line;
  return n;
}

std::vector<std::string> SessionTest::LogFrom(const std::string& from) {
  std::vector<std::string> all = LogMessages();
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == from) return std::vector<std::string>(all.begin() + i, all.end());
  }
  return {};
}

void SessionTest::SendRaw(const Bytes& raw, int timeoutMs) {
  auto received = [this] {
    size_t n = 0;
    for (const std::string& m : LogMessages())
      n += m.rfind("MP -> ", 0) == 0 && m.find("Malformed") == std::string::npos;
    return n;
  };
  size_t before = received();
  ASSERT_TRUE(meetpoint.Send(raw));
  ASSERT_TRUE(WaitUntil(timeoutMs, [&] { return received() > before; })) << "event not received";
}

std::vector<Bytes> SessionTest::FramesAfter(size_t skip) {
  std::vector<Bytes> all = meetpoint.Frames();
  if (skip >= all.size()) return {};
  return std::vector<Bytes>(all.begin() + static_cast<std::ptrdiff_t>(skip), all.end());
}

void CallLog::Add(const std::string& call) {
  std::lock_guard<std::mutex> guard(mutex_);
  calls_.push_back(call);
}

std::vector<std::string> CallLog::Calls(size_t from) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (from >= calls_.size()) return {};
  return std::vector<std::string>(calls_.begin() + static_cast<std::ptrdiff_t>(from), calls_.end());
}

bool CallLog::WaitFor(size_t count, int timeoutMs) {
  return WaitUntil(timeoutMs, [&] { return Calls().size() >= count; });
}

void CallLog::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  calls_.clear();
}

// One recorded call: the words separated by blanks.
template <typename... Words>
static int Record(const Words&... words) {
  std::ostringstream call;
  ((call << words << ' '), ...);
  std::string text = call.str();
  gCalls.Add(text.substr(0, text.size() - 1));
  return 0;
}

int RLCALL RecordLobbyMessage(const char* From, const char* Text, uint32_t UserData) {
  return Record("lobby", "<" + std::string(From) + ">", "<" + std::string(Text) + ">", UserData);
}

int RLCALL RecordGameInstance(uint32_t GiID, uint32_t VotingFlags, uint32_t UserData) {
  return Record("instance", GiID, VotingFlags, UserData);
}

int RLCALL RecordResults(uint32_t GiID, char Vote, uint32_t NumPlrs, PlayerResult* Players,
                         uint32_t UserData) {
  std::string players;
  for (uint32_t i = 0; i < NumPlrs; ++i) {
    players += " " + std::string(Players[i].Name, strnlen(Players[i].Name, 32)) + "=" +
               std::to_string(Players[i].Rating);
  }
  Record("results", GiID, +static_cast<unsigned char>(Vote), std::to_string(NumPlrs) + players,
         UserData);
  RLFreeGameResults(Players);  // once the call is recorded
  return 0;
}

int RLCALL RecordVote(const char* Voter, uint32_t GiID, unsigned char Vote, uint32_t UserData) {
  return Record("vote", "<" + std::string(Voter) + ">", GiID, +Vote, UserData);
}

int RLCALL RecordJoin(uint32_t Result, uint32_t GiID, uint32_t UserData) {
  return Record("join", Result, GiID, UserData);
}
