// One of the load tool's players: a connection to a lobby server, over TLS (OpenSSL through
// TlsLayer) or plain TCP, from an address of its own in 127.0.0.0/8. It logs in as meetpoint
// does: a server that answers "busy, retry after N ms" is tried again then, and a try that
// fails otherwise (no connection, no answer within meetpoint's 12 s, the connection lost) is
// made again after a back-off from 250 ms to 8 s with jitter. Once in, it sends the chat it is
// given, each line stamped with the time it left, and counts every chat line that reaches it
// with its latency. Reading is lean (frames walked in place), so that the tool's own cost
// stays below the servers'.
#pragma once

#include <openssl/ssl.h>

#include "net.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "latency_histogram.h"
#include "protocol.h"
#include "retry.h"
#include "tls_layer.h"

namespace lobby {

using LoadClock = std::chrono::steady_clock;

// What a process's players saw; added up over processes.
struct LoadStats {
  uint64_t loggedIn = 0;
  uint64_t failed = 0;
  uint64_t busy = 0;          // told to come back later
  uint64_t refused = 0;       // no connection (no server listening, or its queue full)
  uint64_t timedOut = 0;      // no answer to the login within meetpoint's wait
  uint64_t dropped = 0;       // the connection ended before the answer
  uint64_t refusedLater = 0;  // Errors that are not fatal, after the login
  uint64_t retries = 0;       // tries that failed and were made again
  uint64_t handshakes = 0;    // TLS handshakes completed (handshake-only players)
  uint64_t delivered = 0;
  LatencyHistogram latency;
  std::vector<double> loginAt;  // seconds from the start of the logins
};

// Nanoseconds of the steady clock, which every process on the machine shares: the stamp that
// a chat line carries.
int64_t NowNs();

class LoadPlayer : public std::enable_shared_from_this<LoadPlayer> {
 public:
  // tls null: plain TCP. handshakeOnly: connect, finish the TLS handshake, count it and close.
  LoadPlayer(asio::io_context& io, LoadStats& stats, asio::ip::tcp::endpoint server,
             asio::ip::address_v4 from, SSL_CTX* tls, std::string name, std::string password,
             LoadClock::time_point start, bool handshakeOnly = false);
  void Start() { Connect(); }
  void Chat();
  bool In() const { return in_; }
  bool Done() const { return in_ || failed_ || handshook_; }

 private:
  void Connect();
  void Connected();
  void Retry(uint32_t pauseMs);
  void Fail(const std::string& why);
  void Send(const Bytes& frame);
  void Write();
  void Read(unsigned tried);
  // Bytes from the socket; false when they ended this try.
  bool Received(const uint8_t* data, size_t size, unsigned tried);
  bool Frames(unsigned tried);
  bool Message(const uint8_t* payload, size_t size);

  asio::io_context& io_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  LoadStats& stats_;
  asio::ip::tcp::endpoint server_;
  asio::ip::address_v4 from_;
  SSL_CTX* tlsContext_;
  std::optional<TlsLayer> tls_;
  std::string name_;
  std::string password_;
  LoadClock::time_point start_;
  bool handshakeOnly_;
  Backoff backoff_;
  unsigned try_ = 0;  // answers of older tries are ignored
  Bytes plain_;       // plaintext received, not yet a whole frame
  Bytes pending_;     // bytes for the socket, not yet being written
  Bytes out_;         // bytes being written
  bool writing_ = false;
  bool greeted_ = false;  // Hello and Login sent on this try
  bool in_ = false;
  bool failed_ = false;
  bool handshook_ = false;
  uint8_t buffer_[16384];
};

}  // namespace lobby
