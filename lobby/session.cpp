#include "session.h"

#include "server.h"

namespace lobby {

namespace {

// One read from the socket, and the plaintext that TLS makes of it: buffers that every
// session of the thread shares, used only within one handler.
const size_t kReadSize = 16384;
uint8_t* ReadBuffer() {
  static thread_local uint8_t buffer[kReadSize];
  return buffer;
}
uint8_t* PlainBuffer() {
  static thread_local uint8_t buffer[kReadSize];
  return buffer;
}
// Plaintext encrypted at once: a slow reader's backlog waits as plaintext, not as records.
const size_t kEncryptAtOnce = 65536;

bool WouldBlock(const ErrorCode& ec) {
  return ec == asio::error::would_block || ec == asio::error::try_again;
}

}  // namespace

Session::Session(asio::ip::tcp::socket socket, asio::ssl::context& tls, bool useTls, Server& server,
                 uint64_t id, const LimitSettings& limits, std::string address,
                 std::string addressKey)
    : socket_(std::move(socket)),
      server_(server),
      id_(id),
      limits_(limits),
      address_(std::move(address)),
      addressKey_(std::move(addressKey)),
      rate_(limits.messagesPerSecond, limits.burst),
      chat_(limits.chatPerSecond, limits.chatBurst) {
  ErrorCode ec;
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  socket_.non_blocking(true, ec);
  if (useTls) tls_.emplace(tls.native_handle(), TlsLayer::Role::kServer);
}

void Session::Start() {
  if (!tls_) {
    Deadline(connected_ + limits_.loginWithin, "login");
    return WaitToRead();
  }
  state = State::kHandshake;
  Deadline(connected_ + limits_.handshakeWithin, "handshake");
  WaitToRead();
}

// One timer serves each deadline in turn; arming it again cancels the one before.
void Session::Deadline(std::chrono::steady_clock::time_point when, const char* what) {
  if (!deadline_) deadline_ = std::make_unique<asio::steady_timer>(socket_.get_executor());
  deadline_->expires_at(when);
  auto self = shared_from_this();
  std::string phase = what;
  deadline_->async_wait([self, phase](ErrorCode ec) {
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

// A logged-in player has no deadline until a fatal error: the timer goes.
void Session::LoggedIn() {
  state = State::kIn;
  deadline_.reset();
}

// Nothing is read while a request holds the session or payloads wait to be handled.
void Session::WaitToRead() {
  if (reading_ || held_ || state == State::kClosed || closeAfterWrite_ ||
      nextUnhandled_ < unhandled_.size())
    return;
  reading_ = true;
  auto self = shared_from_this();
  socket_.async_wait(asio::ip::tcp::socket::wait_read, [self](ErrorCode ec) {
    self->reading_ = false;
    if (self->state == State::kClosed) return;
    if (ec) return self->Close(ec.message());
    self->Readable();
  });
}

void Session::Readable() {
  ErrorCode ec;
  uint8_t* buffer = ReadBuffer();
  size_t size = socket_.read_some(asio::buffer(buffer, kReadSize), ec);
  if (WouldBlock(ec)) return WaitToRead();
  if (ec) return Close(ec == asio::error::eof ? "closed by the peer" : ec.message());
  if (tls_) {
    if (!Decrypt(buffer, size)) return;
  } else {
    Frames(buffer, size);
  }
  Process();
}

bool Session::Decrypt(const uint8_t* data, size_t size) {
  tls_->Take(data, size);
  size_t got = 0;
  TlsLayer::Status status;
  while ((status = tls_->Read(PlainBuffer(), kReadSize, &got, &out_)) == TlsLayer::Status::kData) {
    Frames(PlainBuffer(), got);
  }
  if (state == State::kHandshake && tls_->Established()) {
    state = State::kNew;
    Deadline(connected_ + limits_.loginWithin, "login");
  }
  if (status == TlsLayer::Status::kClosed) {
    Close("closed by the peer (TLS close_notify)");
  } else if (status == TlsLayer::Status::kFailed) {
    Close((state == State::kHandshake ? "TLS handshake failed: " : "TLS: ") + tls_->Error());
  } else if (out_.size() > outFrom_) {
    Flush();  // the handshake's answer
  }
  return state != State::kClosed;
}

// Whole frames to unhandled_; once the reader fails, the stream is out of step and the rest is
// ignored. A reader that holds no part of a frame lets its buffer go.
void Session::Frames(const uint8_t* data, size_t size) {
  if (!reader_.Error().empty()) return;
  reader_.Feed(data, size, &unhandled_);
  if (reader_.Pending() == 0 && reader_.Error().empty()) reader_ = FrameReader();
}

void Session::Resume() {
  held_ = false;
  Process();
}

// Handles what has been read, in order, until a request holds the session; reads more once
// everything is handled.
void Session::Process() {
  while (!held_ && nextUnhandled_ < unhandled_.size()) {
    if (closeAfterWrite_ || state == State::kClosed) return;
    Bytes payload = std::move(unhandled_[nextUnhandled_++]);
    Handle(payload);
  }
  if (nextUnhandled_ == unhandled_.size() && !unhandled_.empty()) {
    std::vector<Bytes>().swap(unhandled_);
    nextUnhandled_ = 0;
  }
  if (held_ || closeAfterWrite_ || state == State::kClosed) return;
  const std::string& framingError = reader_.Error();
  if (!framingError.empty()) {
    bool large = framingError.find("above") != std::string::npos;
    return Refuse(large ? "frame-too-large" : "bad-frame", 0,
                  framingError + "; the stream is out of step", true);
  }
  WaitToRead();
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
  if (Unsent() + frame.size() > limits_.maxQueuedBytes)
    return Close("it read too slowly: its unsent events passed the bound");
  queued_.insert(queued_.end(), frame.begin(), frame.end());
  server_.Sent(frame);
  FlushLater();
}

// Frames queued in this loop turn go out together once it is over: with many events at once
// (a loop that is behind), each player gets them in one write, under TLS in one SSL_write.
void Session::FlushLater() {
  if (flushPosted_ || writing_) return;  // a write that waits takes the new frames along
  flushPosted_ = true;
  auto self = shared_from_this();
  asio::post(socket_.get_executor(), [self] {
    self->flushPosted_ = false;
    self->Flush();
  });
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
  Flush();  // closes once everything is out
  if (state != State::kClosed)
    Deadline(std::chrono::steady_clock::now() + limits_.lingerAfterFatal, "linger");
}

// Hands what is queued to the socket (through TLS) until the socket takes no more, then waits
// until it is writable. Buffers are let go once empty, so that an idle session keeps none.
void Session::Flush() {
  if (state == State::kClosed || writing_) return;
  for (;;) {
    if (outFrom_ == out_.size() && queuedFrom_ < queued_.size()) {
      Bytes().swap(out_);
      outFrom_ = 0;
      if (tls_) {
        if (!tls_->Established()) break;  // frames come after the handshake
        size_t size = std::min(kEncryptAtOnce, queued_.size() - queuedFrom_);
        if (!tls_->Write(&queued_[queuedFrom_], size, &out_)) return Close("TLS: " + tls_->Error());
        queuedFrom_ += size;
      } else if (queuedFrom_ == 0) {
        out_.swap(queued_);
      } else {
        out_.assign(queued_.begin() + static_cast<std::ptrdiff_t>(queuedFrom_), queued_.end());
        queuedFrom_ = queued_.size();
      }
      if (queuedFrom_ == queued_.size()) {
        Bytes().swap(queued_);
        queuedFrom_ = 0;
      }
    }
    if (outFrom_ == out_.size()) break;
    ErrorCode ec;
    size_t sent = socket_.write_some(asio::buffer(&out_[outFrom_], out_.size() - outFrom_), ec);
    if (WouldBlock(ec)) return WaitToWrite();
    if (ec) return Close("sending failed: " + ec.message());
    outFrom_ += sent;
    if (outFrom_ < out_.size()) return WaitToWrite();
  }
  Bytes().swap(out_);
  outFrom_ = 0;
  if (closeAfterWrite_ && Unsent() == 0) Close("refused");
}

void Session::WaitToWrite() {
  writing_ = true;
  auto self = shared_from_this();
  socket_.async_wait(asio::ip::tcp::socket::wait_write, [self](ErrorCode ec) {
    self->writing_ = false;
    if (self->state == State::kClosed) return;
    if (ec) return self->Close("sending failed: " + ec.message());
    self->Flush();
  });
}

void Session::Close(const std::string& why) {
  if (state == State::kClosed) return;
  state = State::kClosed;
  *gone_ = true;
  deadline_.reset();
  std::vector<Bytes>().swap(unhandled_);
  ErrorCode ec;
  // TLS ends with close_notify when everything before it went out; the alert of a failed
  // handshake, or the rest of what was unsent, gets one try.
  if (tls_ && tls_->Established() && Unsent() == 0) tls_->Shutdown(&out_);
  if (outFrom_ < out_.size())
    socket_.write_some(asio::buffer(&out_[outFrom_], out_.size() - outFrom_), ec);
  Bytes().swap(queued_);
  Bytes().swap(out_);
  queuedFrom_ = outFrom_ = 0;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  server_.Remove(*this, why);
}

}  // namespace lobby
