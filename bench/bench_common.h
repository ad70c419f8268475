// What the benchmark programs share on Linux and under Wine: a stand-in for Meetpoint that
// drains what the game sends, the hand-written floor that does only the I/O every call must
// do, and the two measurements that both platforms run (request cost and event latency).
//
// Every figure is taken against a floor measured in the same run, in interleaved rounds, so
// that the noise of a shared machine hits both sides alike.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rawsocket.h"

// Monotonic clock in nanoseconds.
int64_t NowNs();

// A counting semaphore for pacing one thread by another; allocates nothing once built.
class Gate {
 public:
  void Post();
  // False when nothing was posted within timeoutMs.
  bool Wait(int timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  int count_ = 0;
};

// Accepts one connection on 127.0.0.1 and reads everything that comes on it into a fixed
// area, on a thread of its own, so that the sender never blocks on a full buffer.
class DrainPeer {
 public:
  DrainPeer();
  ~DrainPeer();
  uint16_t Port() const { return listener_.Port(); }
  // Accepts the connection and starts draining it; false when none came within timeoutMs.
  bool Accept(int timeoutMs);
  // Sends raw bytes (whole frames) to the connected side.
  bool Send(const void* data, size_t size) { return connection_.SendAll(data, size); }
  uint64_t BytesReceived() const { return received_.load(); }

 private:
  RawSocket listener_;
  RawSocket connection_;
  std::atomic<uint64_t> received_{0};
  std::thread drain_;
};

// The floor of a log line: the same time-stamped line to a file with a flush after the stamp
// and after the line end, the same line to a console file, each line under one lock. The
// message is formatted once.
class FloorLog {
 public:
  FloorLog(const char* filePath, const char* consolePath);
  ~FloorLog();
  void Line(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

 private:
  FILE* file_;
  FILE* console_;
  std::mutex lock_;
};

// The floor of a request: its log line, then its frame sent on a loopback connection to a
// peer that drains it, the send under a lock of its own as every request's send is.
class FloorLink {
 public:
  FloorLink();
  FloorLog log{"floor-log.txt", "floor-console.txt"};
  void SendFrame(const uint8_t* payload, uint32_t length);

 private:
  DrainPeer peer_;
  RawSocket client_;
  std::mutex sendLock_;
};

// Builds the frame of a payload into frame (room for length + 4); returns the frame's size.
uint32_t BuildFrame(const uint8_t* payload, uint32_t length, uint8_t* frame);

// Builds the frame of a MsgNewGameVote event for giid from the voter "Voter"; frame has room
// for 64 bytes. Returns the frame's size.
uint32_t VoteEventFrame(uint32_t giid, uint8_t* frame);

// Requests whose floor the benchmarks compare against: the same line and the same frame.
void FloorSendVote(FloorLink& link, uint32_t giid, unsigned char vote);
void FloorSendLobbyMessage(FloorLink& link, const char* from, const char* text);
extern const char kLobbyFrom[];
extern const char kLobbyText[];

// A session with a stand-in Meetpoint: a scratch folder (the current folder while the
// session lasts) with the registry value, the library's standard output sent to a file,
// RLInitialise done and the connection accepted. RLShutdown ends it.
class BenchSession {
 public:
  BenchSession();
  ~BenchSession();
  bool Started() const { return started_; }
  DrainPeer& Meetpoint() { return meetpoint_; }

 private:
  struct Surroundings;
  Surroundings* surroundings_;
  DrainPeer meetpoint_;
  bool started_ = false;
};

// CPU time of the calling thread in nanoseconds; -1 where it can't be read finely.
int64_t ThreadCpuNs();

// Median, low and high of a set of figures.
struct Spread {
  double median = 0, low = 0, high = 0;
};
Spread SpreadOf(std::vector<double> values);
double Percentile(std::vector<double> values, double fraction);

// Nanoseconds per call of the library's request and of its floor, each round timed
// back to back; the ratio is taken per round. Wall time, and the CPU time of the calling
// thread where the system measures it finely (0 elsewhere), which the other programs on a
// shared machine disturb far less.
struct RequestCost {
  Spread libraryNs, floorNs, ratio;
  Spread libraryCpuNs, floorCpuNs, cpuRatio;
};
struct RequestCosts {
  RequestCost vote, lobby;
};
RequestCosts MeasureRequestCost(FloorLink& floor, int rounds, int callsPerRound);

// Event latency from the peer's write of a MsgNewGameVote frame to the entry of the game's
// callback, against a thread that receives the same frame on a plain loopback connection
// and writes one log line. Each event is sent once the previous one has reached the
// callback, so the rate of the loop is the event throughput. The sides take turns every
// eventsPerRound events: a short disturbance of the machine then falls on both alike.
// A second floor waits for the frame as the library's message thread must, on the socket
// and a second object (on Windows an event that the socket signals, then its network events,
// then the receive; on Linux one poll, then the receive).
struct EventLatency {
  double libraryP50Us = 0, libraryP99Us = 0, floorP50Us = 0, floorP99Us = 0;
  double libraryPerSecond = 0, floorPerSecond = 0;
  double eventWaitP50Us = 0, eventWaitPerSecond = 0;
  int lost = 0;  // events that never reached the callback
};
EventLatency MeasureEventLatency(BenchSession& session, FloorLog& floorLog, int events,
                                 int eventsPerRound);

// One line of the results table.
std::string TableRow(const std::string& figure, const std::string& library,
                     const std::string& floor, const std::string& ratio, const std::string& target);
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The rows of the request-cost and event-latency figures, with a platform tag in front.
std::vector<std::string> CommonRows(const std::string& tag, const RequestCosts& cost,
                                    const EventLatency& latency);
