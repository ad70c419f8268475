#include "session.h"

#include "server.h"

namespace lobby {

Session::Session(asio::ip::tcp::socket socket, asio::ssl::context& tls, bool useTls, Server& server,
                 uint64_t id, const LimitSettings& limits, std::string address,
                 std::string addressKey)
    : stream_(std::move(socket), tls),
      tls_(useTls),
      server_(server),
      id_(id),
      limits_(limits),
      address_(std::move(address)),
      addressKey_(std::move(addressKey)),
      rate_(limits.messagesPerSecond, limits.burst),
      chat_(limits.chatPerSecond, limits.chatBurst),
      deadline_(stream_.get_executor()) {
  ErrorCode ec;
  stream_.next_layer().set_option(asio::ip::tcp::no_delay(true), ec);
}

void Session::Start() {
  if (!tls_) {
    Deadline(connected_ + limits_.loginWithin, "login");
    return Read();
  }
  state = State::kHandshake;
  Deadline(connected_ + limits_.handshakeWithin, "handshake");
  auto self = shared_from_this();
  stream_.async_handshake(asio::ssl::stream_base::server, [self](ErrorCode ec) {
    if (self->state == State::kClosed) return;
    if (ec) return self->Close("TLS handshake failed: " + ec.message());
    self->state = State::kNew;
    self->Deadline(self->connected_ + self->limits_.loginWithin, "login");
    self->Read();
  });
}

// One timer serves each deadline in turn; arming it again cancels the one before.
void Session::Deadline(std::chrono::steady_clock::time_point when, const char* what) {
  deadline_.expires_at(when);
  auto self = shared_from_this();
  std::string phase = what;
  deadline_.async_wait([self, phase](ErrorCode ec) {
    if (ec || self->state == State::kClosed) return;
    auto ms = [](Ms limit) { return std::to_string(limit.count()) + " ms"; };
    if (phase == "handshake") {
      self->Close("no TLS handshake within " + ms(self->limits_.handshakeWithin));
    } else if (phase == "login") {
      if (self->state != State::kIn)
        self->Refuse("login-timeout", 0, "no login within " + ms(self->limits_.loginWithin), true);
    } else {
      self->Close("its last Error could not be sent within " + ms(self->limits_.lingerAfterFatal));
    }
  });
}

void Session::LoggedIn() {
  state = State::kIn;
  deadline_.cancel();
}

void Session::Read() {
  if (reading_ || state == State::kClosed || closeAfterWrite_) return;
  reading_ = true;
  auto self = shared_from_this();
  auto done = [self](ErrorCode ec, size_t size) {
    self->reading_ = false;
    if (self->state == State::kClosed) return;
    if (ec) return self->Close(ec == asio::error::eof ? "closed by the peer" : ec.message());
    std::vector<Bytes> payloads;
    if (!self->reader_.Feed(self->in_, size, &payloads))
      self->framingError_ = self->reader_.Error();
    for (Bytes& payload : payloads) self->unhandled_.push_back(std::move(payload));
    self->Process();
  };
  if (tls_) {
    stream_.async_read_some(asio::buffer(in_), done);
  } else {
    stream_.next_layer().async_read_some(asio::buffer(in_), done);
  }
}

void Session::Resume() {
  held_ = false;
  Process();
}

// Handles what has been read, in order, until a request holds the session; reads more once
// everything is handled.
void Session::Process() {
  while (!held_ && !unhandled_.empty()) {
    if (closeAfterWrite_ || state == State::kClosed) return;
    Bytes payload = std::move(unhandled_.front());
    unhandled_.pop_front();
    Handle(payload);
  }
  if (held_ || closeAfterWrite_ || state == State::kClosed) return;
  if (!framingError_.empty()) {
    bool large = framingError_.find("above") != std::string::npos;
    return Refuse(large ? "frame-too-large" : "bad-frame", 0,
                  framingError_ + "; the stream is out of step", true);
  }
  Read();
}

// The rate limits: every message counts against the connection's rate, a Chat also against
// its chat rate. One error a second says what happens; the other extra messages are dropped
// quietly, and a connection that keeps on is closed.
bool Session::Limited(const Bytes& payload) {
  auto now = std::chrono::steady_clock::now();
  bool chat = payload[0] == kChat;
  if (rate_.Take(now) && (!chat || chat_.Take(now))) {
    refusedInARow_ = 0;
    return false;
  }
  bool fatal = ++refusedInARow_ >= limits_.maxRefusalsInARow;
  if (fatal || now - lastRateError_ >= std::chrono::seconds(1)) {
    lastRateError_ = now;
    auto per = [](double rate) { return std::to_string(static_cast<int>(rate)); };
    std::string what = chat ? per(limits_.chatPerSecond) + " chat lines"
                            : per(limits_.messagesPerSecond) + " messages";
    Refuse(fatal ? "flood" : "rate-limit", payload[0],
           fatal ? "kept sending far above the rate limit"
                 : "more than " + what + " a second; this one was dropped",
           fatal);
  }
  return true;
}

void Session::Handle(const Bytes& payload) {
  if (Limited(payload)) return;
  Message message;
  std::string problem;
  if (!Decode(payload.data(), payload.size(), &message, &problem)) {
    bool unknown = LayoutOf(payload[0]) == nullptr;
    return Refuse(unknown ? "unknown-message" : "bad-message", payload[0], problem, false);
  }
  server_.Handle(shared_from_this(), message);
}

void Session::Send(const Message& message) { SendFrame(EncodeFrame(message)); }

void Session::SendFrame(const Bytes& frame) {
  if (state == State::kClosed || closeAfterWrite_ || frame.empty()) return;
  queued_ += frame.size();
  if (queued_ > limits_.maxQueuedBytes)
    return Close("it read too slowly: its unsent events passed the bound");
  queue_.push_back(frame);
  server_.Sent(frame);
  Write();
}

void Session::Refuse(const std::string& rule, uint8_t request, const std::string& detail,
                     bool fatal, bool quiet) {
  if (state == State::kClosed || closeAfterWrite_) return;
  server_.Refused(*this, rule, request, detail, fatal, quiet);
  // Before the handshake there is no way to say anything.
  if (fatal && state == State::kHandshake) return Close(rule);
  Send(Message(kError).Text(rule).Num(request).Text(detail.substr(0, 255)).Num(fatal ? 1 : 0));
  if (!fatal) return;
  closeAfterWrite_ = true;
  if (!writing_) return Close(rule);
  Deadline(std::chrono::steady_clock::now() + limits_.lingerAfterFatal, "linger");
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
  *gone_ = true;
  deadline_.cancel();
  unhandled_.clear();
  ErrorCode ec;
  stream_.next_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  stream_.next_layer().close(ec);
  server_.Remove(*this, why);
}

}  // namespace lobby
