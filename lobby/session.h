// One meetpoint's connection to the server: TLS or plain TCP, frames in and out, the rate
// limit, the login deadline, and a bounded queue of events for a slow reader. What the
// messages mean is the server's business (server.h).
#pragma once

#include "net.h"
#include <boost/asio/ssl.hpp>

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
  enum class State { kNew, kGreeted, kLoggingIn, kIn, kClosed };

  Session(asio::ip::tcp::socket socket, asio::ssl::context& tls, bool useTls, Server& server,
          uint64_t id, const LimitSettings& limits);
  void Start();
  void Send(const Message& message);
  void SendFrame(const Bytes& frame);
  // An Error naming the rule broken; a fatal one closes the connection once it has gone out.
  void Refuse(const std::string& rule, uint8_t request, const std::string& detail, bool fatal);
  void Close(const std::string& why);

  uint64_t Id() const { return id_; }
  const std::string& Peer() const { return peer_; }
  State state = State::kNew;
  std::string player;  // once logged in
  uint32_t loginFailures = 0;

 private:
  void Handshake();
  void Read();
  void OnBytes(size_t size);
  void Write();
  template <class Buffers, class Handler>
  void AsyncWrite(const Buffers& buffers, Handler&& handler);

  asio::ssl::stream<asio::ip::tcp::socket> stream_;
  bool tls_;
  Server& server_;
  uint64_t id_;
  const LimitSettings& limits_;
  std::string peer_;
  RateLimit rate_;
  uint32_t refusedInARow_ = 0;
  std::chrono::steady_clock::time_point lastRateError_;
  asio::steady_timer loginTimer_;
  FrameReader reader_;
  uint8_t in_[8192];
  std::deque<Bytes> queue_;
  size_t queued_ = 0;
  Bytes out_;
  bool writing_ = false;
  bool closeAfterWrite_ = false;
};

}  // namespace lobby
