// meetpoint: a stand-in for the lobby client that a game reaches through Rallylink. It listens
// on 127.0.0.1, serves one game connection at a time, prints every request and every event,
// answers like a small lobby, and can be driven by a script or by commands typed on standard
// input. See docs/meetpoint.md.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "codec.h"
#include "lobby.h"
#include "rallylink_version.h"
#include "os.h"
#include "script.h"
#include "transcript.h"
#if defined(MEETPOINT_RELAY)
#include "relay.h"
#endif
#if defined(MEETPOINT_UI)
#include "page_access.h"
#include "page_feed.h"
#endif

using namespace mp;

namespace {

const char kUsage[] =
    "usage: meetpoint [options]\n"
    "  --port N           listen on 127.0.0.1 port N (default 0: a free port)\n"
    "  --register         write the port into the registry value ClientPort\n"
    "  --port-file FILE   write the port into FILE\n"
    "  --script FILE      run the commands of FILE on every game connection\n"
    "  --interactive      read commands from standard input\n"
    "  --record FILE      write a transcript, one JSON object per line\n"
    "  --name NAME        the local player (default Ada)\n"
    "  --players A,B,...  the other players (default Bram,Cleo)\n"
    "  --first-giid N     the first game instance handed out (default 1)\n"
    "  --voting-flags N   the voting flags of new game instances (default 1)\n"
    "  --no-answer        answer no request; scripts and typed commands still send\n"
    "  --gap MS           the least time between two writes to the game (default 100)\n"
    "  --exit-after N     end after N game connections have ended (default 0: never)\n"
    "  --lobby HOST:PORT[,HOST:PORT...]  relay to a lobby server (the next one when it goes)\n"
    "  --player NAME      the player logging in to the lobby server (without it and with\n"
    "                     --ui, the player signs in or signs up on the page)\n"
    "  --password-file F  the player's password, on the first line of F\n"
    "  --lobby-ca FILE    the certificates to trust for the lobby server (default: the system's)\n"
    "  --lobby-plain      plain TCP to the lobby server: loopback addresses only\n"
    "  --invite A,B,...   game instances the game starts are for these players only\n"
    "                     (default: open to anyone)\n"
    "  --ui [HOST:]PORT   serve the player's page on a loopback address (default\n"
    "                     127.0.0.1:0, a free port); prints its address with its token\n"
    "  --help, --version  print this, or the version, and end\n";

#if defined(MEETPOINT_RELAY)
// Chat lines from the lobby server that wait for the game at most; the oldest go first.
const size_t kMaxChatWaiting = 50;
// Other events from the lobby server that wait for the game at most.
const size_t kMaxEventsWaiting = 1000;
#endif
#if defined(MEETPOINT_UI)
// While a page is open, it learns who is online and the ratings this often.
const int64_t kWhoEveryMs = 5000;
const int64_t kRatingsEveryMs = 30000;
// The ratings table's length.
const uint32_t kRatingsShown = 113;
#endif

struct Options {
  uint16_t port = 0;
  bool registerPort = false;
  std::string portFile;
  std::string script;
  bool interactive = false;
  std::string record;
  LobbySettings lobby;
  uint32_t gapMs = 100;
  uint32_t exitAfter = 0;
  std::string lobbyServers;  // empty: the local lobby answers
  std::string player;
  std::string passwordFile;
  std::string lobbyCa;
  bool lobbyPlain = false;
  std::string invite;  // StartInstance's Invited: empty, open to anyone
  bool ui = false;
  std::string uiHost = "127.0.0.1";
  uint16_t uiPort = 0;
  bool help = false;
  bool version = false;
};

bool ParseUnsigned(const char* text, uint32_t max, uint32_t* value) {
  char* end = nullptr;
  unsigned long long number = strtoull(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || number > max) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint32_t number = 0;
    bool takesValue = true;
    if (option == "--register") {
      options->registerPort = true;
      takesValue = false;
    } else if (option == "--interactive") {
      options->interactive = true;
      takesValue = false;
    } else if (option == "--no-answer") {
      options->lobby.answer = false;
      takesValue = false;
    } else if (option == "--lobby-plain") {
      options->lobbyPlain = true;
      takesValue = false;
    } else if (option == "--help" || option == "--version") {
      (option == "--help" ? options->help : options->version) = true;
      takesValue = false;
    } else if (value == nullptr) {
      return false;
    } else if (option == "--port") {
      if (!ParseUnsigned(value, 65535, &number)) return false;
      options->port = static_cast<uint16_t>(number);
    } else if (option == "--port-file") {
      options->portFile = value;
    } else if (option == "--script") {
      options->script = value;
    } else if (option == "--record") {
      options->record = value;
    } else if (option == "--name") {
      options->lobby.localPlayer = value;
    } else if (option == "--players") {
      options->lobby.others.clear();
      std::stringstream list(value);
      std::string name;
      while (std::getline(list, name, ',')) {
        if (!name.empty()) options->lobby.others.push_back(name);
      }
    } else if (option == "--first-giid") {
      if (!ParseUnsigned(value, 0xFFFFFFFFu, &options->lobby.firstGiID)) return false;
    } else if (option == "--voting-flags") {
      if (!ParseUnsigned(value, 0xFFFFFFFFu, &options->lobby.votingFlags)) return false;
    } else if (option == "--gap") {
      if (!ParseUnsigned(value, 60000, &options->gapMs)) return false;
    } else if (option == "--lobby") {
      options->lobbyServers = value;
    } else if (option == "--player") {
      options->player = value;
    } else if (option == "--password-file") {
      options->passwordFile = value;
    } else if (option == "--lobby-ca") {
      options->lobbyCa = value;
    } else if (option == "--invite") {
      options->invite = value;
    } else if (option == "--ui") {
      // [HOST:]PORT, HOST a name or an address, IPv6 in brackets.
      std::string text = value;
      size_t colon = text.rfind(':');
      if (colon != std::string::npos && text.find(':') != colon && text[0] != '[') return false;
      std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
      if (colon != std::string::npos) options->uiHost = text.substr(0, colon);
      if (options->uiHost.size() > 2 && options->uiHost.front() == '[' &&
          options->uiHost.back() == ']')
        options->uiHost = options->uiHost.substr(1, options->uiHost.size() - 2);
      if (options->uiHost == "localhost") options->uiHost = "127.0.0.1";
      if (!ParseUnsigned(port.c_str(), 65535, &number)) return false;
      options->uiPort = static_cast<uint16_t>(number);
      options->ui = true;
    } else if (option == "--exit-after") {
      if (!ParseUnsigned(value, 0xFFFFFFFFu, &options->exitAfter)) return false;
    } else {
      return false;
    }
    if (takesValue) ++i;
  }
  return true;
}

void Say(const std::string& line) {
  printf("%s\n", line.c_str());
  fflush(stdout);
}

// Lines typed on standard input, read by a thread of their own.
struct TypedLines {
  std::mutex mutex;
  std::deque<std::string> lines;
};

// Commands from the script or typed in, run one after the other.
struct Runner {
  std::vector<Command> commands;
  size_t next = 0;
  int64_t resumeAt = 0;     // a "wait" holds the runner until then
  int64_t awaitUntil = -1;  // the time-out of the "await" in progress
  bool active = false;
  const char* what = "";
};

// One writing command on its way out.
struct Job {
  Command write;
  Bytes bytes;
  size_t sent = 0;
  int64_t nextAt = 0;
  bool started = false;
};

class Meetpoint {
 public:
  Meetpoint(const Options& options, const std::vector<Command>& script)
      : options_(options), lobby_(options.lobby) {
    // With a lobby server the local lobby only keeps what the game reports.
    if (!options.lobbyServers.empty()) options_.lobby.answer = false;
    lobby_ = Lobby(options_.lobby);
    script_.commands = script;
    script_.what = "script";
    typed_.what = "typed";
    typed_.active = true;
  }

  int Run();

 private:
  void Accept();
  void Receive();
  void Handle(const Incoming& in);
  void EndConnection(const std::string& how, bool abortive);
  void Step(Runner& runner);
  void Pump();
  void Report(const Command& write);
  void ReadTyped();
  void Queue(const Message& event);
  // Hands a change to the page, where there is one; f takes the PageFeed.
  template <typename F>
  void ToPage(F f) {
#if defined(MEETPOINT_UI)
    if (page_ != nullptr) f(*page_);
#endif
  }
#if defined(MEETPOINT_UI)
 public:
  void UsePage(std::unique_ptr<PageFeed> page);

 private:
  void FromPage();
  void AskLobby();
  std::unique_ptr<PageFeed> page_;
  bool lobbyOnline_ = false;
  int64_t nextWho_ = 0;
  int64_t nextRatings_ = 0;
#endif
#if defined(MEETPOINT_RELAY)
 public:
  void UseLobby(std::unique_ptr<LobbyLink> link) { link_ = std::move(link); }

 private:
  void Relay(const Message& request);
  void FromLobby();
  std::unique_ptr<LobbyLink> link_;
  // Chat from the lobby waits in chat_ and goes to the game only when nothing else waits, so
  // that the game's own events (instances, joins, votes, results) never wait behind chat.
  void QueueChat(const Message& line);
#endif
  std::deque<Message> chat_;
  bool chatOverflowing_ = false;  // chat lines are being dropped; said once
  void WakeAt(int64_t when) { wake_ = std::min(wake_, when); }
  void Record(const char* dir, const std::string& type, int code, const Message* message,
              const Bytes* raw, const std::string& error = "", const std::string& note = "");

  Options options_;
  Lobby lobby_;
  Transcript transcript_;
  TypedLines typedLines_;
  ScriptParser typedParser_;
  Runner script_;
  Runner typed_;
  Socket listener_ = kNoSocket;
  Socket game_ = kNoSocket;
  RequestReader reader_;
  std::map<uint8_t, int> arrivals_;  // requests not yet taken by an "await"
  std::deque<Job> queue_;
  int64_t started_ = 0;
  int64_t lastWriteEnd_ = 0;
  int64_t wake_ = 0;
  int connection_ = 0;
  uint32_t ended_ = 0;
  bool quit_ = false;
};

void Meetpoint::Record(const char* dir, const std::string& type, int code, const Message* message,
                       const Bytes* raw, const std::string& error, const std::string& note) {
  if (!transcript_.IsOpen()) return;
  TranscriptEntry entry;
  entry.ms = NowMs() - started_;
  entry.time = UtcTimestamp();
  entry.connection = connection_;
  entry.dir = dir;
  entry.type = type;
  entry.code = code;
  entry.message = message;
  entry.raw = raw;
  entry.error = error;
  entry.note = note;
  transcript_.Write(entry);
}

void Meetpoint::Accept() {
  Socket socket = AcceptConnection(listener_);
  if (socket == kNoSocket) return;
  if (game_ != kNoSocket) {
    CloseSocket(socket, false);
    Say("!! another game tried to connect while game connection " + std::to_string(connection_) +
        " is open; refused it");
    return;
  }
  game_ = socket;
  ++connection_;
  reader_ = RequestReader();
  arrivals_.clear();
  Say("== game connection " + std::to_string(connection_) + " opened");
  Record("info", "connected", -1, nullptr, nullptr);
  ToPage([&](auto& page) { page.GameOpened(connection_); });
  if (!script_.commands.empty()) {
    script_.next = 0;
    script_.resumeAt = 0;
    script_.awaitUntil = -1;
    script_.active = true;
  }
}

void Meetpoint::EndConnection(const std::string& how, bool abortive) {
  CloseSocket(game_, abortive);
  game_ = kNoSocket;
  queue_.clear();
  chat_.clear();
  chatOverflowing_ = false;
  script_.active = false;
  Say("== game connection " + std::to_string(connection_) + " " + how);
  Record("info", "closed", -1, nullptr, nullptr, "", how);
  ToPage([&](auto& page) { page.GameEnded(connection_, how); });
  if (options_.exitAfter != 0 && ++ended_ >= options_.exitAfter) quit_ = true;
}

void Meetpoint::Receive() {
  uint8_t buffer[8192];
  long n = ReceiveSome(game_, buffer, sizeof buffer);
  if (n <= 0) {
    if (reader_.Pending() > 0) {
      Say("!! the connection ended inside a frame: " + std::to_string(reader_.Pending()) +
          " bytes of it had come");
    }
    EndConnection(n == 0 ? "closed by the game" : "failed (reset by the game)", false);
    return;
  }
  for (const Incoming& in : reader_.Feed(buffer, static_cast<size_t>(n))) Handle(in);
}

void Meetpoint::Handle(const Incoming& in) {
  const char* name = TypeName(in.message.type);
  std::string type = name != nullptr ? name : "unknown";
  std::string size = std::to_string(in.frame.size());
  switch (in.kind) {
    case Incoming::Kind::kRequest:
      Say("<- " + FormatLine(in.message));
      Record("in", type, in.message.type, &in.message, &in.frame);
      ToPage([&](auto& page) { page.GameLine("in", FormatLine(in.message)); });
      ++arrivals_[in.message.type];
      for (const Message& event : lobby_.Handle(in.message)) Queue(event);
#if defined(MEETPOINT_RELAY)
      if (link_ != nullptr) Relay(in.message);
#endif
      break;
    case Incoming::Kind::kMalformed:
    case Incoming::Kind::kUnknown:
      Say("!! " + in.problem + " (frame of " + size + " bytes: " + ToHex(in.frame) +
          "); ignored it, kept the connection");
      Record("in", type, in.message.type, nullptr, &in.frame, in.problem);
      ToPage([&](auto& page) { page.GameLine("in", "!! " + in.problem); });
      break;
    case Incoming::Kind::kFramingError:
      Say("!! bad frame: " + in.problem + "; the stream is out of step, closing the connection");
      Record("in", "bad-frame", -1, nullptr, &in.frame, in.problem);
      EndConnection("closed by meetpoint after a bad frame", false);
      break;
  }
}

void Meetpoint::Queue(const Message& event) {
  Bytes payload;
  std::string problem;
  EncodeEvent(event, &payload, &problem);
  Job job;
  job.write.chunks.push_back({Frame(payload), true});
  queue_.push_back(job);
}

#if defined(MEETPOINT_RELAY)

// The game's request as the lobby server takes it. The player is the one logged in: the
// sender named in a LobbyMessage goes no further. Requests without a lobby counterpart stay
// with the local lobby.
void Meetpoint::Relay(const Message& request) {
  lobby::Message out;
  switch (request.type) {
    case kStartGameInstance:
      out = lobby::Message(lobby::kStartInstance).Text(options_.invite);
      break;
    case kJoinGame:
      out = lobby::Message(lobby::kJoin).Num(request.NumberOf("GiID"));
      break;
    case kVote:
      out =
          lobby::Message(lobby::kVote).Num(request.NumberOf("GiID")).Num(request.NumberOf("Vote"));
      break;
    case kGameResults:
      out = lobby::Message(lobby::kResults)
                .Num(request.NumberOf("GiID"))
                .Num(request.NumberOf("Vote"))
                .Text(request.TextOf("Results"))
                .Num(request.NumberOf("NumPlrs"));
      break;
    case kAccusePlayer:
      out = lobby::Message(lobby::kAccuse)
                .Num(request.NumberOf("GiID"))
                .Text(request.TextOf("Player").substr(0, 31));
      break;
    case kLobbyMessage:
      out = lobby::Message(lobby::kChat).Text(request.TextOf("Text"));
      break;
    default:
      return;
  }
  lobby::Bytes payload;
  std::string problem;
  if (!lobby::Encode(out, &payload, &problem))
    return Say("!! not relayed to the lobby server: " + problem);
  Say("=> " + lobby::Describe(out));
  link_->Send(out);
}

// What the lobby server sent, as events for the game.
void Meetpoint::FromLobby() {
  for (const RelayNews& news : link_->Take()) {
    if (!news.line.empty()) Say(news.line);
#if defined(MEETPOINT_UI)
    if (!news.link.empty()) lobbyOnline_ = news.link == "online";
    if (news.link == "online") nextWho_ = nextRatings_ = 0;
    if (news.hasMessage && news.message.type == lobby::kFinalResults) nextRatings_ = 0;
#endif
    ToPage([&](auto& page) {
      if (!news.link.empty()) page.Link(news.link, news.why);
      if (news.hasMessage) page.FromLobby(news.message);
    });
    if (!news.hasMessage) continue;
    const lobby::Message& m = news.message;
    Message event;
    switch (m.type) {
      case lobby::kInstance:
        event.type = kNewGameInstance;
        event.AddNumber("GiID", m.num(0));
        event.AddNumber("VotingFlags", m.num(1));
        break;
      case lobby::kJoinResult:
        event.type = kNewGameJoin;
        event.AddNumber("GiID", m.num(0));
        event.AddNumber("Result", m.num(1));
        break;
      case lobby::kVoteCast:
        event.type = kNewGameVote;
        event.AddNumber("GiID", m.num(0));
        event.AddNumber("Vote", m.num(1));
        event.AddText("Voter", m.text(2));
        break;
      case lobby::kFinalResults:
        event.type = kNewGameResults;
        event.AddNumber("GiID", m.num(0));
        event.AddNumber("Vote", m.num(1));
        for (const lobby::Record& record : m.records(2))
          event.AddPlayer(record.name, record.rating);
        break;
      case lobby::kChatLine:
        event.type = kIncomingMessage;
        event.AddText("From", m.text(0));
        event.AddText("Text", m.text(1));
        break;
      default:
        continue;
    }
    if (game_ == kNoSocket) {
      Say("== no game connected: " + std::string(TypeName(event.type)) + " not passed on");
    } else if (event.type == kIncomingMessage) {
      QueueChat(event);
    } else if (queue_.size() >= kMaxEventsWaiting) {
      Say("!! the game takes events slower than the lobby sends them and " +
          std::to_string(kMaxEventsWaiting) + " wait already; dropped " + FormatLine(event));
    } else {
      Queue(event);
    }
  }
}

void Meetpoint::QueueChat(const Message& line) {
  if (chat_.size() >= kMaxChatWaiting) {
    chat_.pop_front();
    if (!chatOverflowing_) {
      Say("!! chat comes faster than the game takes it: the oldest lines are dropped (at most " +
          std::to_string(kMaxChatWaiting) + " wait)");
    }
    chatOverflowing_ = true;
  }
  chat_.push_back(line);
}
#endif

#if defined(MEETPOINT_UI)

void Meetpoint::UsePage(std::unique_ptr<PageFeed> page) {
  page_ = std::move(page);
  if (!options_.lobbyServers.empty()) return;
  page_->Link("local", "");
  page_->LocalPlayers(lobby_, options_.lobby);
}

// What the pages asked for: with a lobby server, sign-in, sign-up and chat go to it; with the
// local lobby, a chat line is the local player's, and the game hears it as the lobby's echo.
void Meetpoint::FromPage() {
  for (const PageCommand& command : page_->Server().Take()) {
    switch (command.kind) {
      case PageCommand::Kind::kOpened:
        nextWho_ = nextRatings_ = 0;
        break;
      case PageCommand::Kind::kSignIn:
      case PageCommand::Kind::kSignUp: {
        bool create = command.kind == PageCommand::Kind::kSignUp;
        if (link_ == nullptr || !options_.player.empty()) {
          page_->FromLobby(lobby::Message(lobby::kError)
                               .Text("signed-in")
                               .Num(create ? lobby::kRegister : lobby::kLogin)
                               .Text(link_ == nullptr
                                         ? "This meetpoint runs its own lobby: there is no server "
                                           "to sign in to."
                                         : "This meetpoint signs in as " + options_.player +
                                               ", as it was started.")
                               .Num(0));
          break;
        }
        Say(std::string("== the page ") + (create ? "signs up" : "signs in") + " as " +
            lobby::Quote(command.player));
        link_->SignIn(command.player, command.password, create);
        break;
      }
      case PageCommand::Kind::kChat:
        if (link_ != nullptr) {
          lobby::Message chat = lobby::Message(lobby::kChat).Text(command.text);
          Say("=> " + lobby::Describe(chat) + " (from the page)");
          link_->Send(chat);
        } else if (game_ != kNoSocket) {
          Message echo;
          echo.type = kIncomingMessage;
          echo.AddText("From", options_.lobby.localPlayer);
          echo.AddText("Text", command.text);
          Queue(echo);
        } else {
          page_->Chat(options_.lobby.localPlayer, command.text);
        }
        break;
    }
  }
}

// While a page is open and the relay is logged in, asks the server who is online and for the
// ratings, now and then (the server does not push them).
void Meetpoint::AskLobby() {
  if (link_ == nullptr || !lobbyOnline_ || page_->Server().OpenPages() == 0) return;
  int64_t now = NowMs();
  if (now >= nextWho_) {
    link_->Ask(lobby::Message(lobby::kWho));
    nextWho_ = now + kWhoEveryMs;
  }
  if (now >= nextRatings_) {
    link_->Ask(lobby::Message(lobby::kRatings).Num(kRatingsShown));
    nextRatings_ = now + kRatingsEveryMs;
  }
  WakeAt(std::min(nextWho_, nextRatings_));
}
#endif

// Prints and records what one write puts on the connection.
void Meetpoint::Report(const Command& write) {
  size_t total = 0;
  for (const Chunk& chunk : write.chunks) total += chunk.bytes.size();
  if (write.pieceSize != 0) {
    Say("== the next " + std::to_string(total) + " bytes go out in pieces of " +
        std::to_string(write.pieceSize) + " bytes, " + std::to_string(write.gapMs) + " ms apart");
  } else if (write.chunks.size() > 1) {
    Say("== the next " + std::to_string(write.chunks.size()) + " items go out in one write");
  }
  for (const Chunk& chunk : write.chunks) {
    const Bytes& bytes = chunk.bytes;
    if (!chunk.framed) {
      Say("-> raw " + ToHex(bytes));
      Record("out", "raw", -1, nullptr, &bytes);
      ToPage([&](auto& page) { page.GameLine("out", "raw " + ToHex(bytes)); });
      continue;
    }
    Message event;
    std::string problem;
    if (Decode(bytes.data() + 4, bytes.size() - 4, &event, &problem) && IsEvent(event.type)) {
      Say("-> " + FormatLine(event));
      Record("out", TypeName(event.type), event.type, &event, &bytes);
      lobby_.Sent(event);
      ToPage([&](auto& page) {
        page.GameLine("out", FormatLine(event));
        if (options_.lobbyServers.empty()) page.LocalEvent(event, lobby_, options_.lobby);
      });
      continue;
    }
    if (problem.empty()) problem = std::string(TypeName(event.type)) + " is no event";
    Say("-> frame " + ToHex(bytes.data() + 4, bytes.size() - 4) + " (" + problem + ")");
    const char* name = bytes.size() > 4 ? TypeName(bytes[4]) : nullptr;
    Record("out", name != nullptr ? name : "unknown", bytes.size() > 4 ? bytes[4] : -1, nullptr,
           &bytes, problem);
  }
}

// Sends what is queued: each write no sooner than the gap after the one before, and pieces
// of a write with their own pause between them.
void Meetpoint::Pump() {
  if (queue_.empty() && !chat_.empty() && game_ != kNoSocket) {
    Queue(chat_.front());
    chat_.pop_front();
    if (chat_.empty()) chatOverflowing_ = false;
  }
  while (!queue_.empty() && game_ != kNoSocket) {
    int64_t now = NowMs();
    Job& job = queue_.front();
    if (!job.started) {
      int64_t start = lastWriteEnd_ + options_.gapMs;
      if (now < start) return WakeAt(start);
      job.started = true;
      job.nextAt = now;
      for (const Chunk& chunk : job.write.chunks) {
        job.bytes.insert(job.bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
      }
      Report(job.write);
    }
    if (now < job.nextAt) return WakeAt(job.nextAt);
    size_t left = job.bytes.size() - job.sent;
    size_t piece = job.write.pieceSize != 0 ? std::min<size_t>(job.write.pieceSize, left) : left;
    if (!SendAll(game_, job.bytes.data() + job.sent, piece)) {
      Say("!! sending to the game failed");
      return EndConnection("failed while sending", false);
    }
    job.sent += piece;
    if (job.sent < job.bytes.size()) {
      job.nextAt = now + job.write.gapMs;
      continue;
    }
    lastWriteEnd_ = now;
    queue_.pop_front();
    WakeAt(now);
  }
}

void Meetpoint::Step(Runner& runner) {
  while (runner.active && runner.next < runner.commands.size() && !quit_) {
    const Command& command = runner.commands[runner.next];
    std::string where = std::string(runner.what) + " line " + std::to_string(command.line);
    int64_t now = NowMs();
    if (now < runner.resumeAt) return WakeAt(runner.resumeAt);
    if (!queue_.empty()) return;  // the writes before this command go out first
    switch (command.kind) {
      case Command::Kind::kWrite:
        if (game_ == kNoSocket) {
          Say("!! " + where + ": no game connected, nothing sent");
        } else {
          Job job;
          job.write = command;
          queue_.push_back(job);
        }
        break;
      case Command::Kind::kWait:
        runner.resumeAt = now + command.ms;
        break;
      case Command::Kind::kAwait:
        if (arrivals_[command.type] > 0) {
          --arrivals_[command.type];
        } else {
          if (runner.awaitUntil < 0) runner.awaitUntil = now + command.ms;
          if (now < runner.awaitUntil) return WakeAt(runner.awaitUntil);
          Say("!! " + where + ": no " + TypeName(command.type) + " came within " +
              std::to_string(command.ms) + " ms; going on");
        }
        runner.awaitUntil = -1;
        break;
      case Command::Kind::kClose:
      case Command::Kind::kReset: {
        bool reset = command.kind == Command::Kind::kReset;
        if (game_ == kNoSocket) {
          Say("!! " + where + ": no game connected");
        } else {
          EndConnection(reset ? "reset by meetpoint" : "closed by meetpoint", reset);
        }
        break;
      }
      case Command::Kind::kShow:
        for (const std::string& line : lobby_.Describe()) Say("== " + line);
        break;
      case Command::Kind::kQuit:
        quit_ = true;
        break;
    }
    ++runner.next;
    if (&runner == &script_ && runner.next == runner.commands.size()) Say("== script finished");
  }
}

void Meetpoint::ReadTyped() {
  std::deque<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(typedLines_.mutex);
    lines.swap(typedLines_.lines);
  }
  for (const std::string& line : lines) {
    if (!typedParser_.Line(line, &typed_.commands)) Say("!! " + typedParser_.Error());
  }
}

int Meetpoint::Run() {
  std::string error;
  uint16_t port = 0;
  if (!SocketStartup() || (listener_ = ListenLoopback(options_.port, &port, &error)) == kNoSocket) {
    fprintf(stderr, "meetpoint: %s\n", error.empty() ? "no sockets" : error.c_str());
    return 1;
  }
  if (!options_.record.empty() && !transcript_.Open(options_.record)) {
    fprintf(stderr, "meetpoint: can't write %s\n", options_.record.c_str());
    return 1;
  }
  if (options_.registerPort) {
    std::string where;
    if (!RegisterPort(port, &where, &error)) {
      fprintf(stderr, "meetpoint: %s\n", error.c_str());
      return 1;
    }
    Say("== registered port " + std::to_string(port) + " in " + where);
  }
  if (!options_.portFile.empty()) {
    std::ofstream file(options_.portFile, std::ios::binary);
    if (!(file << port)) {
      fprintf(stderr, "meetpoint: can't write %s\n", options_.portFile.c_str());
      return 1;
    }
  }
  Say("== meetpoint listening on 127.0.0.1 port " + std::to_string(port));
  if (options_.interactive) {
    std::thread([this] {
      std::string line;
      while (std::getline(std::cin, line)) {
        std::lock_guard<std::mutex> lock(typedLines_.mutex);
        typedLines_.lines.push_back(line);
      }
    }).detach();
  }
  started_ = NowMs();
  lastWriteEnd_ = started_ - options_.gapMs;
  while (!quit_) {
    wake_ = NowMs() + (options_.interactive ? 50 : 500);
#if defined(MEETPOINT_RELAY)
    if (link_ != nullptr) {
      wake_ = std::min<int64_t>(wake_, NowMs() + 10);
      FromLobby();
    }
#endif
#if defined(MEETPOINT_UI)
    if (page_ != nullptr) {
      FromPage();
      AskLobby();
    }
#endif
    ReadTyped();
    Step(script_);
    Step(typed_);
    Pump();
    if (quit_) break;
    bool listenerReady = false;
    bool gameReady = false;
    int timeout = static_cast<int>(std::max<int64_t>(0, wake_ - NowMs()));
    WaitReadable(listener_, game_, timeout, &listenerReady, &gameReady);
    if (gameReady) Receive();
    if (listenerReady) Accept();
  }
  if (game_ != kNoSocket) EndConnection("closed by meetpoint", false);
  CloseSocket(listener_, false);
  Say("== meetpoint ends");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (options.help) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
#if defined(MEETPOINT_RELAY)
    printf("meetpoint %s, lobby protocol version %u\n", RALLYLINK_VERSION_TEXT, lobby::kVersion);
#else
    printf("meetpoint %s, without a lobby relay\n", RALLYLINK_VERSION_TEXT);
#endif
    return 0;
  }
  std::vector<Command> script;
  if (!options.script.empty()) {
    std::ifstream file(options.script, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    if (!file) {
      fprintf(stderr, "meetpoint: can't read %s\n", options.script.c_str());
      return 2;
    }
    if (!ParseScript(text.str(), &script, &error)) {
      fprintf(stderr, "meetpoint: %s %s\n", options.script.c_str(), error.c_str());
      return 2;
    }
  }
  Meetpoint meetpoint(options, script);
  if (!options.lobbyServers.empty()) {
#if defined(MEETPOINT_RELAY)
    RelaySettings relay;
    std::stringstream list(options.lobbyServers);
    std::string server;
    while (std::getline(list, server, ',')) {
      if (!server.empty()) relay.servers.push_back(server);
    }
    relay.player = options.player;
    // Without --player the page signs in: the relay connects and waits for it.
    bool signInOnPage = options.ui && relay.player.empty() && options.passwordFile.empty();
    if (relay.servers.empty() ||
        (!signInOnPage &&
         (relay.player.empty() || relay.player.size() > 31 || options.passwordFile.empty()))) {
      fprintf(stderr,
              "meetpoint: --lobby needs servers, and --player NAME (1 to 31 characters) with "
              "--password-file, or --ui to sign in on the page\n");
      return 2;
    }
    std::ifstream passwordFile(options.passwordFile, std::ios::binary);
    if (!signInOnPage && (!std::getline(passwordFile, relay.password) || relay.password.empty())) {
      fprintf(stderr, "meetpoint: can't read a password from %s\n", options.passwordFile.c_str());
      return 2;
    }
    if (!relay.password.empty() && relay.password.back() == '\r') relay.password.pop_back();
    if (!options.lobbyPlain) {
      std::string error;
      relay.tls = MakeLobbyTls(options.lobbyCa, &error);
      if (relay.tls == nullptr) {
        fprintf(stderr, "meetpoint: %s\n", error.c_str());
        return 2;
      }
    }
    Say("== relaying to lobby server " + relay.servers[0] +
        (relay.servers.size() > 1 ? " (and " + std::to_string(relay.servers.size() - 1) + " more)"
                                  : "") +
        (signInOnPage ? "; the player signs in on the page" : " as " + relay.player));
    meetpoint.UseLobby(std::make_unique<LobbyLink>(relay));
#else
    fprintf(stderr, "meetpoint: this build has no lobby relay (--lobby needs the Linux build)\n");
    return 2;
#endif
  }
  if (options.ui) {
#if defined(MEETPOINT_UI)
    if (!IsLoopbackHost(options.uiHost)) {
      fprintf(stderr, "meetpoint: --ui takes a loopback address only (127.0.0.1, ::1), not %s\n",
              options.uiHost.c_str());
      return 2;
    }
    bool relaying = !options.lobbyServers.empty();
    std::string server = options.lobbyServers.substr(0, options.lobbyServers.find(','));
    PageModel model(relaying ? "lobby" : "local", server, relaying && options.player.empty());
    std::string error;
    std::unique_ptr<PageServer> page =
        PageServer::Start(options.uiHost, options.uiPort, model, &error);
    if (page == nullptr) {
      fprintf(stderr, "meetpoint: %s\n", error.c_str());
      return 1;
    }
    Say("== page at " + page->Address());
    meetpoint.UsePage(std::make_unique<PageFeed>(std::move(page)));
#else
    fprintf(stderr, "meetpoint: this build has no page (--ui needs Boost and nlohmann/json)\n");
    return 2;
#endif
  }
  return meetpoint.Run();
}
