// The far end of the game's connection, as the benchmarks arrange it: a stand-in for Meetpoint
// that accepts one connection, reads what the game sends and sends it events; and a session of
// the library with such a stand-in.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "message.h"
#include "peer_socket.h"

// Accepts one connection on 127.0.0.1 and reads what comes on it in one of two ways:
// - inline: ReadAvailable() takes whatever has arrived without waiting, on the caller's
//   thread, between timed calls; nothing runs while the calls are timed.
// - on a reader thread (StartReader to StopReader) that waits for data and reads it while the
//   other side sends: the arrangement in which the reader's wake-ups and the socket's lock
//   compete with the sender.
class GamePeer {
 public:
  GamePeer();
  ~GamePeer();
  GamePeer(const GamePeer&) = delete;
  GamePeer& operator=(const GamePeer&) = delete;

  uint16_t Port() const { return listener_.Port(); }
  // Accepts the connection; false when none came within timeoutMs.
  bool Accept(int timeoutMs);
  // Sends raw bytes (whole frames) to the game.
  bool Send(const mp::Bytes& frame) { return connection_.SendAll(frame); }

  // Reads everything that has arrived, without waiting; returns the number of bytes. When
  // keep is given the bytes are appended to it.
  size_t ReadAvailable(mp::Bytes* keep = nullptr);
  // Reads until at least `bytes` have arrived or timeoutMs has passed; keeps them.
  bool ReadAtLeast(size_t bytes, int timeoutMs, mp::Bytes* keep);

  void StartReader();
  void StopReader();

 private:
  RawSocket listener_;
  RawSocket connection_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
};

// A session with a stand-in Meetpoint: a scratch folder (the current folder while the session
// lasts) with the registry value, the library's standard output sent to a file, RLInitialise
// done and the connection accepted. RLShutdown ends it.
class BenchSession {
 public:
  BenchSession();
  ~BenchSession();
  BenchSession(const BenchSession&) = delete;
  BenchSession& operator=(const BenchSession&) = delete;
  // False when the session didn't start (the constructor has said why on standard error).
  bool Started() const { return started_; }
  GamePeer& Meetpoint() { return meetpoint_; }
  // What the library has written to its standard output (its console stream) so far.
  std::string ConsoleText();

 private:
  struct Surroundings;
  Surroundings* surroundings_;
  GamePeer meetpoint_;
  bool started_ = false;
};
