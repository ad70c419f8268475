#include "bench_common.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <utility>

#include "rallylink.h"
#include "test_env.h"

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
typedef SOCKET Native;
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
typedef int Native;
#endif

static Native N(intptr_t handle) { return static_cast<Native>(handle); }

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Gate::Post() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++count_;
  }
  posted_.notify_one();
}

bool Gate::Wait(int timeoutMs) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (!posted_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return count_ > 0; }))
    return false;
  --count_;
  return true;
}

// ---------------------------------------------------------------------------------------------

DrainPeer::DrainPeer() : listener_(RawSocket::Listen()) {}

DrainPeer::~DrainPeer() {
  // The other side has normally closed by now; a shutdown wakes the drain thread if not (on
  // Linux; Wine leaves a blocked receive alone).
  if (connection_.Valid()) shutdown(N(connection_.Handle()), 2);
  if (drain_.joinable()) drain_.join();
}

bool DrainPeer::Accept(int timeoutMs) {
  connection_ = listener_.Accept(timeoutMs);
  if (!connection_.Valid()) return false;
  intptr_t handle = connection_.Handle();
  drain_ = std::thread([this, handle] {
    char area[16384];
    for (;;) {
      int n = static_cast<int>(recv(N(handle), area, sizeof area, 0));
      if (n <= 0) return;
      received_ += static_cast<uint64_t>(n);
    }
  });
  return true;
}

// ---------------------------------------------------------------------------------------------

FloorLog::FloorLog(const char* filePath, const char* consolePath)
    : file_(fopen(filePath, "a+")), console_(fopen(consolePath, "w")) {}

FloorLog::~FloorLog() {
  if (file_ != nullptr) fclose(file_);
  if (console_ != nullptr) fclose(console_);
}

void FloorLog::Line(const char* format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(lock_);
  int hour, minute, second;
#ifdef _WIN32
  SYSTEMTIME t;
  GetLocalTime(&t);
  hour = t.wHour, minute = t.wMinute, second = t.wSecond;
#else
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm t;
  localtime_r(&now.tv_sec, &t);
  hour = t.tm_hour, minute = t.tm_min, second = t.tm_sec;
#endif
  fprintf(file_, "[%02d:%02d:%02d]  ", hour, minute, second);
  fflush(file_);
  fputs(message, file_);
  fputs(message, console_);
  fputc('\n', file_);
  fflush(file_);
  fputc('\n', console_);
  fflush(console_);
}

uint32_t BuildFrame(const uint8_t* payload, uint32_t length, uint8_t* frame) {
  uint32_t total = length + 4;
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(total >> (8 * i));
  memcpy(frame + 4, payload, length);
  return total;
}

// The floor's socket is non-blocking, as the library's is: a send that can't take the whole
// frame waits until the socket is writable and sends the rest.
FloorLink::FloorLink() {
  client_ = RawSocket::Connect(peer_.Port());
  peer_.Accept(5000);
#ifdef _WIN32
  u_long on = 1;
  ioctlsocket(N(client_.Handle()), FIONBIO, &on);
#else
  int fd = N(client_.Handle());
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
#endif
}

static bool WouldBlock() {
#ifdef _WIN32
  return WSAGetLastError() == WSAEWOULDBLOCK;
#else
  return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

static void WaitWritable(intptr_t handle) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  FD_SET(N(handle), &set);
  timeval tv = {5, 0};
  select(0, nullptr, &set, nullptr, &tv);
#else
  pollfd p = {N(handle), POLLOUT, 0};
  poll(&p, 1, 5000);
#endif
}

void FloorLink::SendFrame(const uint8_t* payload, uint32_t length) {
  uint8_t frame[4096];
  uint32_t total = BuildFrame(payload, length, frame);
  std::lock_guard<std::mutex> guard(sendLock_);
  const char* p = reinterpret_cast<const char*>(frame);
  for (int left = static_cast<int>(total); left > 0;) {
#ifdef _WIN32
    int n = send(N(client_.Handle()), p, left, 0);
#else
    int n = static_cast<int>(send(N(client_.Handle()), p, static_cast<size_t>(left), MSG_NOSIGNAL));
#endif
    if (n > 0) {
      p += n;
      left -= n;
    } else if (n < 0 && WouldBlock()) {
      WaitWritable(client_.Handle());
    } else {
      return;  // the connection is gone
    }
  }
}

const char kLobbyFrom[] = "Player";
const char kLobbyText[] = "Anyone for a rematch on the northern track?";

void FloorSendVote(FloorLink& link, uint32_t giid, unsigned char vote) {
  link.log.Line("RLSendVote( GiID:%u , Vote:%d)", giid, vote);
  uint8_t message[6] = {0x08,
                        static_cast<uint8_t>(giid),
                        static_cast<uint8_t>(giid >> 8),
                        static_cast<uint8_t>(giid >> 16),
                        static_cast<uint8_t>(giid >> 24),
                        vote};
  link.SendFrame(message, sizeof message);
}

void FloorSendLobbyMessage(FloorLink& link, const char* from, const char* text) {
  link.log.Line("RLSendLobbyMessage( %s , %s )", from, text);
  uint8_t message[1 + 2 + 31 + 2 + 255];
  size_t s = strlen(from), t = strlen(text);
  uint8_t* p = message;
  *p++ = 0x05;
  *p++ = static_cast<uint8_t>(s);
  *p++ = static_cast<uint8_t>(s >> 8);
  memcpy(p, from, s);
  p += s;
  *p++ = static_cast<uint8_t>(t);
  *p++ = static_cast<uint8_t>(t >> 8);
  memcpy(p, text, t);
  p += t;
  link.SendFrame(message, static_cast<uint32_t>(p - message));
}

// ---------------------------------------------------------------------------------------------

struct BenchSession::Surroundings {
  ScratchDir dir;
  StreamCapture out{stdout};
};

BenchSession::BenchSession() : surroundings_(new Surroundings) {
  SetClientPortValue(std::to_string(meetpoint_.Port()));
  started_ = RLInitialise(0, 0) == 0 && meetpoint_.Accept(5000);
}

BenchSession::~BenchSession() {
  RLShutdown();
  DeleteClientPortKey();
  delete surroundings_;
}

// ---------------------------------------------------------------------------------------------

Spread SpreadOf(std::vector<double> values) {
  Spread s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.low = values.front();
  s.high = values.back();
  s.median = Percentile(values, 0.5);
  return s;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

int64_t ThreadCpuNs() {
#ifdef _WIN32
  return -1;  // Windows counts thread time in scheduler ticks: too coarse for a round
#else
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
#endif
}

namespace {

struct Sample {
  double wallNs, cpuNs;
};

template <typename Call>
Sample PerCall(int calls, Call call) {
  int64_t wall = NowNs(), cpu = ThreadCpuNs();
  for (int i = 0; i < calls; ++i) call(static_cast<uint32_t>(i));
  return {static_cast<double>(NowNs() - wall) / calls,
          static_cast<double>(ThreadCpuNs() - cpu) / calls};
}

// The samples of one request and its floor, round by round.
struct Pairs {
  std::vector<double> libraryNs, floorNs, ratio, libraryCpuNs, floorCpuNs, cpuRatio;
  void Add(const Sample& library, const Sample& floor) {
    libraryNs.push_back(library.wallNs);
    floorNs.push_back(floor.wallNs);
    ratio.push_back(library.wallNs / floor.wallNs);
    libraryCpuNs.push_back(library.cpuNs);
    floorCpuNs.push_back(floor.cpuNs);
    cpuRatio.push_back(library.cpuNs / floor.cpuNs);
  }
  RequestCost Cost() const {
    return {SpreadOf(libraryNs),    SpreadOf(floorNs),    SpreadOf(ratio),
            SpreadOf(libraryCpuNs), SpreadOf(floorCpuNs), SpreadOf(cpuRatio)};
  }
};

}  // namespace

RequestCosts MeasureRequestCost(FloorLink& floor, int rounds, int callsPerRound) {
  Pairs vote, lobby;
  auto libraryVote = [](uint32_t i) { RLSendVote(i, 1); };
  auto floorVote = [&](uint32_t i) { FloorSendVote(floor, i, 1); };
  auto libraryLobby = [](uint32_t) { RLSendLobbyMessage(kLobbyFrom, kLobbyText); };
  auto floorLobby = [&](uint32_t) { FloorSendLobbyMessage(floor, kLobbyFrom, kLobbyText); };
  // Round 0 warms caches and buffers and is not counted. Odd rounds time the library first,
  // even rounds the floor first, so that a slow drift of the machine favours neither.
  for (int round = 0; round <= rounds; ++round) {
    Sample lv, fv, ll, fl;
    if (round % 2 == 1) {
      lv = PerCall(callsPerRound, libraryVote);
      fv = PerCall(callsPerRound, floorVote);
      ll = PerCall(callsPerRound, libraryLobby);
      fl = PerCall(callsPerRound, floorLobby);
    } else {
      fv = PerCall(callsPerRound, floorVote);
      lv = PerCall(callsPerRound, libraryVote);
      fl = PerCall(callsPerRound, floorLobby);
      ll = PerCall(callsPerRound, libraryLobby);
    }
    if (round == 0) continue;
    vote.Add(lv, fv);
    lobby.Add(ll, fl);
  }
  return {vote.Cost(), lobby.Cost()};
}

// ---------------------------------------------------------------------------------------------

namespace {

Gate gLibraryGate;
std::atomic<int64_t> gLibraryEntryNs{0};

int RLCALL TimeVote(const char*, uint32_t, unsigned char, uint32_t) {
  gLibraryEntryNs = NowNs();
  gLibraryGate.Post();
  return 0;
}

// The floor's receiving side: a thread that receives each frame on a plain loopback
// connection, logs one line for it and notes the time. It blocks in recv, or waits as the
// library's message thread must, for the socket or a second object: on Windows for an
// auto-reset event that the socket signals, or a second event, then reads the socket's
// network events and receives; on Linux in one poll, then receives.
class FloorReceiver {
 public:
  FloorReceiver(FloorLog& log, bool eventWait) : log_(log) {
    RawSocket listener = RawSocket::Listen();
    sender_ = RawSocket::Connect(listener.Port());
    receiver_ = listener.Accept(5000);
    intptr_t handle = receiver_.Handle();
    thread_ = std::thread([this, handle, eventWait] {
      if (eventWait) {
        ReceiveOnEvents(handle);
      } else {
        while (Take(handle)) {
        }
      }
    });
  }
  ~FloorReceiver() {
    sender_.Close();  // the receiving thread sees the end of the stream
    thread_.join();
  }
  bool Send(const uint8_t* frame, uint32_t size) { return sender_.SendAll(frame, size); }

  Gate gate;
  std::atomic<int64_t> entryNs{0};

 private:
  bool Take(intptr_t handle) {
    uint8_t area[4096];
    int n = static_cast<int>(recv(N(handle), reinterpret_cast<char*>(area), sizeof area, 0));
    if (n <= 0) return false;
    log_.Line("MP -> New game vote");
    entryNs = NowNs();
    gate.Post();
    return true;
  }

  void ReceiveOnEvents(intptr_t handle) {
#ifdef _WIN32
    HANDLE events[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                        CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    WSAEventSelect(N(handle), events[0], FD_READ | FD_CLOSE);
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
      WSANETWORKEVENTS happened;
      if (WSAEnumNetworkEvents(N(handle), nullptr, &happened) != 0) break;
      if (happened.lNetworkEvents & FD_CLOSE) break;
      if ((happened.lNetworkEvents & FD_READ) && !Take(handle)) break;
    }
    CloseHandle(events[0]);
    CloseHandle(events[1]);
#else
    // The same on Linux: one poll on the socket and a second descriptor, then the receive.
    int never[2];
    if (pipe(never) != 0) return;
    for (;;) {
      pollfd watched[2] = {{N(handle), POLLIN, 0}, {never[0], POLLIN, 0}};
      if (poll(watched, 2, -1) <= 0 || watched[1].revents != 0 || !Take(handle)) break;
    }
    close(never[0]);
    close(never[1]);
#endif
  }

  FloorLog& log_;
  RawSocket sender_, receiver_;
  std::thread thread_;
};

// One side of the latency comparison: how to send an event and wait for its arrival, and
// what was measured.
struct Side {
  Side(std::function<bool(const uint8_t*, uint32_t)> sender, Gate* arrived,
       std::atomic<int64_t>* arrivedNs)
      : send(std::move(sender)), gate(arrived), entryNs(arrivedNs) {}

  std::function<bool(const uint8_t*, uint32_t)> send;
  Gate* gate;
  std::atomic<int64_t>* entryNs;
  std::vector<double> us;
  int64_t ns = 0;
  int lost = 0;

  void Round(uint32_t first, int count) {
    uint8_t frame[64];
    int64_t start = NowNs();
    for (int i = 0; i < count; ++i) {
      uint32_t size = VoteEventFrame(first + static_cast<uint32_t>(i), frame);
      int64_t sent = NowNs();
      send(frame, size);
      if (gate->Wait(5000)) {
        us.push_back((*entryNs - sent) / 1000.0);
      } else {
        ++lost;
      }
    }
    ns += NowNs() - start;
  }
  double PerSecond() const { return us.size() / (ns / 1e9); }
};

}  // namespace

uint32_t VoteEventFrame(uint32_t giid, uint8_t* frame) {
  const uint8_t payload[] = {0x22,
                             static_cast<uint8_t>(giid),
                             static_cast<uint8_t>(giid >> 8),
                             static_cast<uint8_t>(giid >> 16),
                             static_cast<uint8_t>(giid >> 24),
                             1,
                             'V',
                             'o',
                             't',
                             'e',
                             'r',
                             0};
  return BuildFrame(payload, sizeof payload, frame);
}

EventLatency MeasureEventLatency(BenchSession& session, FloorLog& floorLog, int events,
                                 int eventsPerRound) {
  FloorReceiver plain(floorLog, false);
  FloorReceiver waiting(floorLog, true);
  RLSetVotingCallback(TimeVote, 0);
  auto sendToLibrary = [&](const uint8_t* f, uint32_t n) { return session.Meetpoint().Send(f, n); };
  Side library{sendToLibrary, &gLibraryGate, &gLibraryEntryNs};
  Side floor{[&](const uint8_t* f, uint32_t n) { return plain.Send(f, n); }, &plain.gate,
             &plain.entryNs};
  Side floorWait{[&](const uint8_t* f, uint32_t n) { return waiting.Send(f, n); }, &waiting.gate,
                 &waiting.entryNs};
  for (int done = 0; done < events; done += eventsPerRound) {
    floor.Round(static_cast<uint32_t>(done), eventsPerRound);
    library.Round(static_cast<uint32_t>(done), eventsPerRound);
    floorWait.Round(static_cast<uint32_t>(done), eventsPerRound);
  }
  RLSetVotingCallback(nullptr, 0);
  EventLatency result;
  result.libraryP50Us = Percentile(library.us, 0.5);
  result.libraryP99Us = Percentile(library.us, 0.99);
  result.floorP50Us = Percentile(floor.us, 0.5);
  result.floorP99Us = Percentile(floor.us, 0.99);
  result.libraryPerSecond = library.PerSecond();
  result.floorPerSecond = floor.PerSecond();
  result.lost = library.lost;
  result.eventWaitP50Us = Percentile(floorWait.us, 0.5);
  result.eventWaitPerSecond = floorWait.PerSecond();
  return result;
}

// ---------------------------------------------------------------------------------------------

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string TableRow(const std::string& figure, const std::string& library,
                     const std::string& floor, const std::string& ratio,
                     const std::string& target) {
  return "| " + figure + " | " + library + " | " + floor + " | " + ratio + " | " + target + " |";
}

static std::string RatioWithSpread(const Spread& s) {
  return Format("%.3f (%.3f-%.3f)", s.median, s.low, s.high);
}

static void AddCostRows(std::vector<std::string>& rows, const std::string& name,
                        const RequestCost& cost) {
  rows.push_back(TableRow(name, Format("%.0f ns", cost.libraryNs.median),
                          Format("%.0f ns", cost.floorNs.median), RatioWithSpread(cost.ratio),
                          "<= 1.10"));
  if (cost.libraryCpuNs.median > 0) {
    rows.push_back(TableRow(
        name + ", CPU time of the calling thread", Format("%.0f ns", cost.libraryCpuNs.median),
        Format("%.0f ns", cost.floorCpuNs.median), RatioWithSpread(cost.cpuRatio), "<= 1.10"));
  }
}

std::vector<std::string> CommonRows(const std::string& tag, const RequestCosts& cost,
                                    const EventLatency& latency) {
  std::vector<std::string> rows;
  AddCostRows(rows, "Request cost, RLSendVote (" + tag + ")", cost.vote);
  AddCostRows(rows, "Request cost, RLSendLobbyMessage (" + tag + ")", cost.lobby);
  rows.push_back(TableRow("Event latency p50 (" + tag + ")",
                          Format("%.1f us", latency.libraryP50Us),
                          Format("%.1f us", latency.floorP50Us),
                          Format("%.3f", latency.libraryP50Us / latency.floorP50Us), "<= 1.2"));
  if (latency.eventWaitP50Us > 0) {
    rows.push_back(
        TableRow("Event latency p50 (" + tag + "), floor waiting on the socket and a second object",
                 Format("%.1f us", latency.libraryP50Us), Format("%.1f us", latency.eventWaitP50Us),
                 Format("%.3f", latency.libraryP50Us / latency.eventWaitP50Us), "-"));
  }
  rows.push_back(TableRow("Event latency p99 (" + tag + ")",
                          Format("%.1f us", latency.libraryP99Us),
                          Format("%.1f us", latency.floorP99Us),
                          Format("%.3f", latency.libraryP99Us / latency.floorP99Us), "-"));
  if (latency.eventWaitPerSecond > 0) {
    rows.push_back(TableRow(
        "Event throughput (" + tag + "), floor waiting on the socket and a second object",
        Format("%.0f /s", latency.libraryPerSecond), Format("%.0f /s", latency.eventWaitPerSecond),
        Format("%.3f", latency.libraryPerSecond / latency.eventWaitPerSecond), "-"));
  }
  rows.push_back(TableRow("Event throughput (" + tag + ")" +
                              (latency.lost > 0 ? Format(", %d lost", latency.lost) : ""),
                          Format("%.0f /s", latency.libraryPerSecond),
                          Format("%.0f /s", latency.floorPerSecond),
                          Format("%.3f", latency.libraryPerSecond / latency.floorPerSecond), "-"));
  return rows;
}
