// The hand-written floor of a request: only the I/O that every request must do, written as
// directly as the platform allows. A request writes one time-stamped line to the log file
// (flushed after the stamp and after the line end), the same line to the console stream
// (flushed), and sends one frame on a non-blocking loopback connection under a lock of its
// own. The benchmarks time the library against it in the same run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>

#include "peer.h"
#include "peer_socket.h"

// The floor of a log line: the line and its end formatted once, then under one lock the
// stamp to the file and a flush, the line to the file and a flush, the line to the console and
// a flush: one write of each, as the library must make them. The stamp "[hh:mm:ss]  " is
// kept as text and formatted again only when the clock's second changes.
class FloorLog {
 public:
  FloorLog(const char* filePath, const char* consolePath);
  ~FloorLog();
  FloorLog(const FloorLog&) = delete;
  FloorLog& operator=(const FloorLog&) = delete;
  void Line(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

 private:
  const char* Stamp();

  FILE* file_;
  FILE* console_;
  std::mutex lock_;
  int64_t stampSecond_ = -1;  // the second whose stamp stamp_ holds
  char stamp_[16] = {0};
  size_t stampLength_ = 0;
};

// The floor's connection: a loopback socket, non-blocking as the library's is, whose far end
// is a GamePeer that the benchmark reads inline or on a thread, as it does the library's.
class FloorLink {
 public:
  FloorLink();
  FloorLog log{"floor-log.txt", "floor-console.txt"};
  GamePeer& Peer() { return peer_; }
  void SendFrame(const uint8_t* payload, uint32_t length);

 private:
  GamePeer peer_;
  RawSocket client_;
  std::mutex sendLock_;
};

// The floors of the two requests that the benchmarks time: the same line and the same frame
// as RLSendVote and RLSendLobbyMessage.
void FloorSendVote(FloorLink& link, uint32_t giid, unsigned char vote);
void FloorSendLobbyMessage(FloorLink& link, const char* from, const char* text);

// The arguments of the lobby message that both sides send.
extern const char kLobbyFrom[];
extern const char kLobbyText[];
