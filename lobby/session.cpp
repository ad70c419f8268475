#include "session.h"

#include "server.h"

namespace lobby {

Session::Session(asio::ip::tcp::socket socket, asio::ssl::context& tls, bool useTls, Server& server,
                 uint64_t id, const LimitSettings& limits)
    : stream_(std::move(socket), tls),
      tls_(useTls),
      server_(server),
      id_(id),
      limits_(limits),
      rate_(limits),
      loginTimer_(stream_.get_executor()) {
  ErrorCode ec;
  auto remote = stream_.next_layer().remote_endpoint(ec);
  peer_ = ec ? "?" : remote.address().to_string() + ":" + std::to_string(remote.port());
  stream_.next_layer().set_option(asio::ip::tcp::no_delay(true), ec);
}

void Session::Start() {
  auto self = shared_from_this();
  loginTimer_.expires_after(limits_.loginWithin);
  loginTimer_.async_wait([self](ErrorCode ec) {
    if (!ec && self->state != State::kIn && self->state != State::kClosed) {
      self->Refuse("login-timeout", 0,
                   "no login within " + std::to_string(self->limits_.loginWithin.count()) + " ms",
                   true);
    }
  });
  if (!tls_) return Read();
  stream_.async_handshake(asio::ssl::stream_base::server, [self](ErrorCode ec) {
    if (ec) return self->Close("TLS handshake failed: " + ec.message());
    self->Read();
  });
}

void Session::Read() {
  auto self = shared_from_this();
  auto done = [self](ErrorCode ec, size_t size) {
    if (self->state == State::kClosed) return;
    if (ec) return self->Close(ec == asio::error::eof ? "closed by the peer" : ec.message());
    self->OnBytes(size);
    if (self->state != State::kClosed && !self->closeAfterWrite_) self->Read();
  };
  if (tls_) {
    stream_.async_read_some(asio::buffer(in_), done);
  } else {
    stream_.next_layer().async_read_some(asio::buffer(in_), done);
  }
}

void Session::OnBytes(size_t size) {
  std::vector<Bytes> payloads;
  bool inStep = reader_.Feed(in_, size, &payloads);
  for (const Bytes& payload : payloads) {
    if (closeAfterWrite_ || state == State::kClosed) return;
    if (!rate_.Take()) {
      // One error a second says what happens; the rest are dropped quietly.
      auto now = std::chrono::steady_clock::now();
      bool fatal = ++refusedInARow_ >= limits_.maxRefusalsInARow;
      if (fatal || now - lastRateError_ >= std::chrono::seconds(1)) {
        lastRateError_ = now;
        Refuse(fatal ? "flood" : "rate-limit", payload[0],
               fatal ? "kept sending far above the rate limit"
                     : "more than " + std::to_string(static_cast<int>(limits_.messagesPerSecond)) +
                           " messages a second; this one was dropped",
               fatal);
      }
      continue;
    }
    refusedInARow_ = 0;
    Message message;
    std::string problem;
    if (!Decode(payload.data(), payload.size(), &message, &problem)) {
      bool unknown = LayoutOf(payload[0]) == nullptr;
      Refuse(unknown ? "unknown-message" : "bad-message", payload[0], problem, false);
      continue;
    }
    server_.Handle(shared_from_this(), message);
  }
  if (!inStep) {
    bool large = reader_.Error().find("above") != std::string::npos;
    Refuse(large ? "frame-too-large" : "bad-frame", 0,
           reader_.Error() + "; the stream is out of step", true);
  }
}

void Session::Send(const Message& message) { SendFrame(EncodeFrame(message)); }

void Session::SendFrame(const Bytes& frame) {
  if (state == State::kClosed || closeAfterWrite_ || frame.empty()) return;
  queued_ += frame.size();
  if (queued_ > limits_.maxQueuedBytes)
    return Close("it read too slowly: its unsent events passed the bound");
  queue_.push_back(frame);
  Write();
}

void Session::Refuse(const std::string& rule, uint8_t request, const std::string& detail,
                     bool fatal) {
  server_.Log(*this, "refused: " + rule + ": " + detail + (fatal ? " (closing)" : ""));
  Send(Message(kError).Text(rule).Num(request).Text(detail.substr(0, 255)).Num(fatal ? 1 : 0));
  if (fatal) {
    closeAfterWrite_ = true;
    if (!writing_) Close(rule);
  }
}

template <class Buffers, class Handler>
void Session::AsyncWrite(const Buffers& buffers, Handler&& handler) {
  if (tls_) {
    asio::async_write(stream_, buffers, std::forward<Handler>(handler));
  } else {
    asio::async_write(stream_.next_layer(), buffers, std::forward<Handler>(handler));
  }
}

// Everything queued goes out in one write.
void Session::Write() {
  if (writing_ || queue_.empty() || state == State::kClosed) return;
  writing_ = true;
  out_.clear();
  for (const Bytes& frame : queue_) out_.insert(out_.end(), frame.begin(), frame.end());
  queue_.clear();
  queued_ = 0;
  auto self = shared_from_this();
  AsyncWrite(asio::buffer(out_), [self](ErrorCode ec, size_t) {
    self->writing_ = false;
    if (self->state == State::kClosed) return;
    if (ec) return self->Close("sending failed: " + ec.message());
    if (self->queue_.empty() && self->closeAfterWrite_) return self->Close("refused");
    self->Write();
  });
}

void Session::Close(const std::string& why) {
  if (state == State::kClosed) return;
  state = State::kClosed;
  loginTimer_.cancel();
  ErrorCode ec;
  stream_.next_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  stream_.next_layer().close(ec);
  server_.Remove(*this, why);
}

}  // namespace lobby
