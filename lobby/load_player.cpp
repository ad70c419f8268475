#include "load_player.h"

#include <cstdio>

namespace lobby {

namespace {

// What meetpoint waits for a login before it gives up on a try.
const auto kLoginWait = std::chrono::seconds(12);

// Plaintext out of the TLS layer, a record at a time: shared by every player of the thread.
uint8_t* PlainBuffer() {
  static thread_local uint8_t buffer[16384];
  return buffer;
}
const size_t kPlainBuffer = 16384;

}  // namespace

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(LoadClock::now().time_since_epoch())
      .count();
}

LoadPlayer::LoadPlayer(asio::io_context& io, LoadStats& stats, asio::ip::tcp::endpoint server,
                       asio::ip::address_v4 from, SSL_CTX* tls, std::string name,
                       std::string password, LoadClock::time_point start, bool handshakeOnly)
    : io_(io),
      socket_(io),
      timer_(io),
      stats_(stats),
      server_(server),
      from_(from),
      tlsContext_(tls),
      name_(std::move(name)),
      password_(std::move(password)),
      start_(start),
      handshakeOnly_(handshakeOnly),
      backoff_(250, 8000) {}

void LoadPlayer::Connect() {
  ++try_;
  socket_ = asio::ip::tcp::socket(io_);
  plain_.clear();
  pending_.clear();
  greeted_ = false;
  tls_.reset();
  ErrorCode ec;
  socket_.open(asio::ip::tcp::v4(), ec);
  if (!ec) socket_.bind(asio::ip::tcp::endpoint(from_, 0), ec);
  if (ec) return Fail("bind " + from_.to_string() + ": " + ec.message());
  auto self = shared_from_this();
  unsigned tried = try_;
  timer_.expires_after(kLoginWait);
  timer_.async_wait([self, tried](ErrorCode e) {
    if (e || self->Done() || self->try_ != tried) return;
    ++self->stats_.timedOut;
    self->Retry(self->backoff_.Next());
  });
  socket_.async_connect(server_, [self, tried](ErrorCode e) {
    if (self->try_ != tried) return;
    if (e) {
      ++self->stats_.refused;
      return self->Retry(self->backoff_.Next());
    }
    self->socket_.set_option(asio::ip::tcp::no_delay(true), e);
    self->Connected();
    self->Read(tried);
  });
}

// Over TLS the ClientHello goes first, and Hello and Login once the handshake is done.
void LoadPlayer::Connected() {
  if (tlsContext_ != nullptr) {
    tls_.emplace(tlsContext_, TlsLayer::Role::kClient, "localhost");
    tls_->Start(&pending_);
    return Write();
  }
  greeted_ = true;
  Send(EncodeFrame(lobby::Message(kHello).Num(kMagic).Num(kVersion).Text("load")));
  Send(EncodeFrame(lobby::Message(kLogin).Text(name_).Text(password_)));
}

void LoadPlayer::Chat() { Send(EncodeFrame(lobby::Message(kChat).Text(std::to_string(NowNs())))); }

// This try failed before the login: another one after the pause, as meetpoint does.
void LoadPlayer::Retry(uint32_t pauseMs) {
  ++try_;
  ++stats_.retries;
  ErrorCode ec;
  socket_.close(ec);
  writing_ = false;
  auto self = shared_from_this();
  timer_.expires_after(std::chrono::milliseconds(pauseMs));
  timer_.async_wait([self](ErrorCode e) {
    if (!e) self->Connect();
  });
}

void LoadPlayer::Fail(const std::string& why) {
  if (!failed_ && ++stats_.failed <= 5) fprintf(stderr, "load: a player failed: %s\n", why.c_str());
  failed_ = true;
  ++try_;
  timer_.cancel();
  ErrorCode ec;
  socket_.close(ec);
}

void LoadPlayer::Send(const Bytes& frame) {
  if (tls_) {
    if (!tls_->Write(frame.data(), frame.size(), &pending_)) return Fail("TLS: " + tls_->Error());
  } else {
    pending_.insert(pending_.end(), frame.begin(), frame.end());
  }
  Write();
}

void LoadPlayer::Write() {
  if (writing_ || pending_.empty()) return;
  writing_ = true;
  out_.swap(pending_);
  pending_.clear();
  auto self = shared_from_this();
  unsigned tried = try_;
  asio::async_write(socket_, asio::buffer(out_), [self, tried](ErrorCode ec, size_t) {
    if (self->try_ != tried) return;
    self->writing_ = false;
    if (ec && !self->in_) return;  // the read side sees it too and tries again
    if (ec) return self->Fail("send: " + ec.message());
    self->Write();
  });
}

void LoadPlayer::Read(unsigned tried) {
  auto self = shared_from_this();
  socket_.async_read_some(asio::buffer(buffer_), [self, tried](ErrorCode ec, size_t size) {
    if (self->try_ != tried) return;
    if (ec && !self->in_) {
      ++self->stats_.dropped;
      return self->Retry(self->backoff_.Next());
    }
    if (ec) return self->Fail("read: " + ec.message());
    if (self->Received(self->buffer_, size, tried)) self->Read(tried);
  });
}

bool LoadPlayer::Received(const uint8_t* data, size_t size, unsigned tried) {
  if (!tls_) {
    plain_.insert(plain_.end(), data, data + size);
    return Frames(tried);
  }
  tls_->Take(data, size);
  size_t got = 0;
  TlsLayer::Status status;
  while ((status = tls_->Read(PlainBuffer(), kPlainBuffer, &got, &pending_)) ==
         TlsLayer::Status::kData)
    plain_.insert(plain_.end(), PlainBuffer(), PlainBuffer() + got);
  if (status == TlsLayer::Status::kFailed) {
    Fail("TLS: " + tls_->Error());
    return false;
  }
  // The server's close_notify ends the connection like a close, after what came before it.
  if (status == TlsLayer::Status::kClosed) {
    if (!Frames(tried) || try_ != tried) return false;
    ++stats_.dropped;
    Retry(backoff_.Next());
    return false;
  }
  if (tls_->Established() && handshakeOnly_) {
    // The client's Finished goes out before the close, so that the server ends its handshake.
    handshook_ = true;
    ++stats_.handshakes;
    ++try_;
    timer_.cancel();
    ErrorCode ec;
    asio::write(socket_, asio::buffer(pending_), ec);
    socket_.close(ec);
    return false;
  }
  if (tls_->Established() && !greeted_) {
    greeted_ = true;
    Send(EncodeFrame(lobby::Message(kHello).Num(kMagic).Num(kVersion).Text("load")));
    Send(EncodeFrame(lobby::Message(kLogin).Text(name_).Text(password_)));
  }
  Write();
  return Frames(tried);
}

// Walks the whole frames received; chat lines are read in place, other messages decoded.
bool LoadPlayer::Frames(unsigned tried) {
  size_t at = 0;
  bool going = true;
  while (going && plain_.size() - at >= 4) {
    uint32_t length = GetU32(&plain_[at]);
    if (length < kMinFrame || length > kMaxFrame) {
      Fail("a frame of " + std::to_string(length) + " bytes");
      return false;
    }
    if (plain_.size() - at < length) break;
    going = Message(&plain_[at + 4], length - 4) && try_ == tried;
    at += length;
  }
  if (!going) return false;
  plain_.erase(plain_.begin(), plain_.begin() + static_cast<std::ptrdiff_t>(at));
  return true;
}

// False when the message ended this try.
bool LoadPlayer::Message(const uint8_t* payload, size_t size) {
  if (payload[0] == kChatLine && size >= 5) {
    // From, then Text: the decimal stamp of when the line left.
    size_t from = payload[1] | (payload[2] << 8);
    size_t at = 3 + from;
    if (at + 2 > size) return true;
    size_t length = payload[at] | (payload[at + 1] << 8);
    int64_t sent = 0;
    for (size_t i = at + 2; i < at + 2 + length && i < size; ++i)
      sent = sent * 10 + (payload[i] - '0');
    ++stats_.delivered;
    int64_t micros = (NowNs() - sent) / 1000;
    stats_.latency.Add(static_cast<uint64_t>(micros < 0 ? 0 : micros));
    return true;
  }
  lobby::Message m;
  std::string problem;
  if (!Decode(payload, size, &m, &problem)) {
    Fail(problem);
    return false;
  }
  if (m.type == kLoggedIn) {
    in_ = true;
    timer_.cancel();
    ++stats_.loggedIn;
    stats_.loginAt.push_back(std::chrono::duration<double>(LoadClock::now() - start_).count());
  } else if (m.type == kError) {
    uint32_t after = 0;
    bool later = m.text(0) == "busy" || m.text(0) == "login-limit";
    if (!in_ && later && ParseRetryAfter(m.text(2), &after)) {
      ++stats_.busy;
      Retry(backoff_.After(after));
      return false;
    }
    // A logged-in player carries on after an Error that is not fatal (a chat line the store
    // could not take in time, say): the line is counted as refused, and its deliveries as lost.
    if (in_ && m.num(3) == 0) {
      if (++stats_.refusedLater <= 3)
        fprintf(stderr, "load: refused: %s: %s\n", m.text(0).c_str(), m.text(2).c_str());
      return true;
    }
    Fail("refused: " + m.text(0) + ": " + m.text(2));
    return false;
  }
  return true;
}

}  // namespace lobby
