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
//
// Memory: an idle connection holds its socket, OpenSSL's state (tls_layer.h) and no buffer.
// The socket is read when the kernel says it is readable, into a buffer that every session of
// the thread shares; frames to send are queued as plaintext and written once a loop turn is
// over, all of a turn's frames in one encrypted write, and the buffers go once written.
#pragma once

#include "net.h"
#include <boost/asio/ssl.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rate_limits.h"
#include "protocol.h"
#include "tls_layer.h"

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
  size_t Queued() const { return Unsent(); }
  // Set once the connection is closed; work on other threads reads it to skip what is moot.
  std::shared_ptr<const std::atomic<bool>> GoneFlag() const { return gone_; }
  State state = State::kNew;
  std::string player;      // once logged in
  int64_t loggedInAt = 0;  // Unix milliseconds
  uint32_t loginFailures = 0;

 private:
  void WaitToRead();
  void Readable();
  // Ciphertext under TLS: the handshake, then frames; false when the connection ended.
  bool Decrypt(const uint8_t* data, size_t size);
  void Frames(const uint8_t* data, size_t size);
  void Process();
  void Handle(const Bytes& payload);
  bool Limited(const Bytes& payload);
  void FlushLater();
  void Flush();
  void WaitToWrite();
  size_t Unsent() const { return queued_.size() - queuedFrom_ + out_.size() - outFrom_; }
  void Deadline(std::chrono::steady_clock::time_point when, const char* what);

  asio::ip::tcp::socket socket_;
  std::optional<TlsLayer> tls_;  // none: plain TCP
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
  std::unique_ptr<asio::steady_timer> deadline_;  // while a deadline applies
  FrameReader reader_;  // once it fails, the stream is out of step after the payloads unhandled
  std::vector<Bytes> unhandled_;
  size_t nextUnhandled_ = 0;
  Bytes queued_;           // plaintext frames not yet handed to the socket (or to TLS)
  size_t queuedFrom_ = 0;  // how much of queued_ has been
  Bytes out_;              // bytes for the socket (ciphertext under TLS)
  size_t outFrom_ = 0;     // how much of out_ the socket has taken
  bool held_ = false;
  bool reading_ = false;      // waiting for the socket to be readable
  bool writing_ = false;      // waiting for the socket to take more
  bool flushPosted_ = false;  // a Flush will run once this loop turn is over
  bool closeAfterWrite_ = false;
};

}  // namespace lobby
