// One meetpoint's connection to the server: TLS or plain TCP, frames in and out, the rate
// limits, the deadlines, and a bounded queue of events for a slow reader. What the messages
// mean is the server's business (server.h).
//
// Deadlines, from the moment of connecting: the TLS handshake within handshakeWithin, a
// successful login within loginWithin; a fatal Error gets lingerAfterFatal to go out. Past any
// of them the socket is closed and its descriptor released, whatever the peer does.
//
// A request waiting for the store or a password check holds the session: its next messages
// stay unread until the answer has gone out, so that each connection's answers keep the order
// of its requests. Events for the player keep flowing meanwhile.
#pragma once

#include "net.h"
#include <boost/asio/ssl.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "rate_limits.h"
#include "protocol.h"

namespace lobby {

class Server;

class Session : public std::enable_shared_from_this<Session> {
 public:
  enum class State { kHandshake, kNew, kGreeted, kLoggingIn, kIn, kClosed };

  // useTls false: plain TCP. address: the peer's "IP:port"; addressKey: what per-address
  // limits count it under.
  Session(asio::ip::tcp::socket socket, asio::ssl::context& tls, bool useTls, Server& server,
          uint64_t id, const LimitSettings& limits, std::string address, std::string addressKey);
  void Start();
  void Send(const Message& message);
  void SendFrame(const Bytes& frame);
  // An Error naming the rule broken (through the server, which logs it unless quiet says the
  // caller has); a fatal one closes the connection once it has gone out.
  void Refuse(const std::string& rule, uint8_t request, const std::string& detail, bool fatal,
              bool quiet = false);
  void Close(const std::string& why);
  void Hold() { held_ = true; }
  void Resume();
  // The login is done: its deadline no longer applies.
  void LoggedIn();

  uint64_t Id() const { return id_; }
  const std::string& Address() const { return address_; }
  const std::string& AddressKey() const { return addressKey_; }
  // Bytes of events not written yet.
  size_t Queued() const { return queued_ + (writing_ ? out_.size() : 0); }
  // Set once the connection is closed; work on other threads reads it to skip what is moot.
  std::shared_ptr<const std::atomic<bool>> GoneFlag() const { return gone_; }
  State state = State::kNew;
  std::string player;      // once logged in
  int64_t loggedInAt = 0;  // Unix milliseconds
  uint32_t loginFailures = 0;

 private:
  void Read();
  void Process();
  void Handle(const Bytes& payload);
  bool Limited(const Bytes& payload);
  void Write();
  void Deadline(std::chrono::steady_clock::time_point when, const char* what);
  template <class Buffers, class Handler>
  void AsyncWrite(const Buffers& buffers, Handler&& handler);

  asio::ssl::stream<asio::ip::tcp::socket> stream_;
  bool tls_;
  Server& server_;
  uint64_t id_;
  const LimitSettings& limits_;
  std::string address_;
  std::string addressKey_;
  std::shared_ptr<std::atomic<bool>> gone_ = std::make_shared<std::atomic<bool>>(false);
  std::chrono::steady_clock::time_point connected_ = std::chrono::steady_clock::now();
  RateLimit rate_;
  RateLimit chat_;
  uint32_t refusedInARow_ = 0;
  std::chrono::steady_clock::time_point lastRateError_;
  asio::steady_timer deadline_;
  FrameReader reader_;
  std::string framingError_;  // the stream is out of step after the payloads still unhandled
  std::deque<Bytes> unhandled_;
  bool held_ = false;
  bool reading_ = false;
  uint8_t in_[8192];
  std::deque<Bytes> queue_;
  size_t queued_ = 0;
  Bytes out_;
  bool writing_ = false;
  bool closeAfterWrite_ = false;
};

}  // namespace lobby
