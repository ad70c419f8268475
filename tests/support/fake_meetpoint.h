// A stand-in for Meetpoint in the tests: it listens on 127.0.0.1, accepts one game connection
// at a time, cuts what the game sends into frames with meetpoint's codec, and sends whatever
// bytes the test gives it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "test_env.h"

class FakeMeetpoint {
 public:
  FakeMeetpoint();
  ~FakeMeetpoint();

  uint16_t Port() const { return port_; }
  // Waits until the game has connected `connection` times since the start.
  bool WaitConnected(int connection = 1, int timeoutMs = 5000);
  // Waits until at least count frames have arrived in all; false on time-out.
  bool WaitFrames(size_t count, int timeoutMs = 5000);
  // The payloads of all frames received so far, in order.
  std::vector<Bytes> Frames();
  // Every byte received on the current connection, as it came.
  Bytes RawBytes();
  // True when the byte stream held a length field below 5 or above 4096.
  bool FramingError();
  // Waits until the current game connection has ended (closed by either side).
  bool WaitGameClosed(int timeoutMs = 5000);
  // Stops reading the connection, so that its data piles up in the kernel's buffers.
  void StopReading() { reading_ = false; }

  bool Send(const Bytes& raw);
  bool SendFrame(const Bytes& payload) { return Send(Frame(payload)); }
  // Sends raw bytes in pieces of pieceSize bytes with a pause after each.
  bool SendInPieces(const Bytes& raw, size_t pieceSize, int pauseMs);
  // Ends Meetpoint's sending direction only: the game sees the end of the stream, and Meetpoint
  // still reads what the game sends.
  void ShutdownSending() { Request(CloseRequest::kHalfClose); }
  // Closes the current game connection, gracefully or with a reset.
  void CloseGame(bool abortive = false);
  // Ends like a killed process: the game connection is reset and the port stops listening.
  void Kill();
  // Listens on the same port again, as Meetpoint does when it is started anew.
  bool Restart();

 private:
  enum class CloseRequest { kNone, kHalfClose, kGraceful, kAbortive, kKill, kRestart };
  void Run();
  void Request(CloseRequest request);
  template <typename Pred>
  bool WaitFor(int timeoutMs, Pred pred);

  RawSocket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> reading_{true};
  std::mutex mutex_;
  std::condition_variable changed_;
  intptr_t gameHandle_ = -1;  // the reader thread owns the socket; others only send on it
  CloseRequest closeRequest_ = CloseRequest::kNone;
  int connections_ = 0;
  bool framingError_ = false;
  mp::FrameSplitter splitter_;
  Bytes raw_;
  std::vector<Bytes> frames_;
  std::thread thread_;  // last: it starts once everything above exists
};
