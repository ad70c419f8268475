// rallylobby_fanout_floor: the least a lobby server must do to fan chat out, and nothing else,
// so that the load runs can give every fan-out figure as a ratio to it. One event loop; each
// connection says Hello and logs in (answered at once: no store, no password, no limits), and
// every Chat line goes back as a ChatLine frame to every logged-in connection. The frames of a
// loop turn go out in one write a connection; over TLS OpenSSL writes its records straight to
// the socket, with the server's TLS settings (tls_profile.h) and certificate.
//
//   rallylobby_fanout_floor [--listen HOST:PORT] [--port-file FILE] (--cert FILE --key FILE |
//   --plain)
//
// rallylobby_load measures it exactly as it measures a server.
#include <openssl/ssl.h>
#include <sys/resource.h>

#include "net.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "protocol.h"
#include "tls_profile.h"

namespace {

using asio::ip::tcp;
using lobby::Bytes;

class Floor;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, SSL_CTX* tls, Floor& floor);
  ~Connection() {
    if (ssl_ != nullptr) SSL_free(ssl_);
  }
  void Start() { WaitToRead(); }
  void Queue(const Bytes& frame);
  void Flush();
  bool In() const { return in_; }

 private:
  void WaitToRead();
  void Readable();
  void Handle(const Bytes& payload);
  void WaitToWrite();
  void Close();

  tcp::socket socket_;
  SSL* ssl_ = nullptr;
  Floor& floor_;
  lobby::FrameReader reader_;
  std::string name_;
  Bytes queued_;
  size_t tlsPending_ = 0;  // bytes of queued_ that an SSL_write must be retried with
  bool waiting_ = false;   // for the socket to take more
  bool in_ = false;
  bool open_ = true;
};

class Floor {
 public:
  Floor(asio::io_context& io, const tcp::endpoint& where, SSL_CTX* tls)
      : io_(io), acceptor_(io, where), tls_(tls) {}
  uint16_t Port() const { return acceptor_.local_endpoint().port(); }

  void Accept() {
    acceptor_.async_accept([this](ErrorCode ec, tcp::socket socket) {
      if (!ec) {
        auto connection = std::make_shared<Connection>(std::move(socket), tls_, *this);
        connections_.push_back(connection);
        connection->Start();
      }
      Accept();
    });
  }

  // A chat line for everyone: queued now, written once the loop's turn is over.
  void Broadcast(const Bytes& frame) {
    for (const auto& connection : connections_) {
      if (connection->In()) connection->Queue(frame);
    }
    if (flushPosted_) return;
    flushPosted_ = true;
    asio::post(io_, [this] {
      flushPosted_ = false;
      for (const auto& connection : connections_) connection->Flush();
    });
  }

  void Remove(const Connection* gone) {
    for (size_t i = 0; i < connections_.size(); ++i) {
      if (connections_[i].get() == gone) {
        std::shared_ptr<Connection> keep = connections_[i];
        connections_[i] = connections_.back();
        connections_.pop_back();
        asio::post(io_, [keep] {});
        return;
      }
    }
  }

 private:
  asio::io_context& io_;
  tcp::acceptor acceptor_;
  SSL_CTX* tls_;
  std::vector<std::shared_ptr<Connection>> connections_;
  bool flushPosted_ = false;
};

Connection::Connection(tcp::socket socket, SSL_CTX* tls, Floor& floor)
    : socket_(std::move(socket)), floor_(floor) {
  ErrorCode ec;
  socket_.set_option(tcp::no_delay(true), ec);
  socket_.non_blocking(true, ec);
  if (tls == nullptr) return;
  ssl_ = SSL_new(tls);
  SSL_set_fd(ssl_, socket_.native_handle());
  SSL_set_mode(ssl_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_set_accept_state(ssl_);
}

void Connection::WaitToRead() {
  auto self = shared_from_this();
  socket_.async_wait(tcp::socket::wait_read, [self](ErrorCode ec) {
    if (!self->open_) return;
    if (ec) return self->Close();
    self->Readable();
  });
}

void Connection::Readable() {
  uint8_t buffer[16384];
  std::vector<Bytes> payloads;
  for (;;) {
    size_t got = 0;
    if (ssl_ != nullptr) {
      int n = SSL_read(ssl_, buffer, sizeof buffer);
      if (n <= 0) {
        int error = SSL_get_error(ssl_, n);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return Close();
        break;
      }
      got = static_cast<size_t>(n);
    } else {
      ErrorCode ec;
      got = socket_.read_some(asio::buffer(buffer), ec);
      if (ec == asio::error::would_block) break;
      if (ec) return Close();
    }
    if (!reader_.Feed(buffer, got, &payloads)) return Close();
  }
  for (const Bytes& payload : payloads) Handle(payload);
  if (open_) WaitToRead();
}

void Connection::Handle(const Bytes& payload) {
  lobby::Message m;
  std::string problem;
  if (!lobby::Decode(payload.data(), payload.size(), &m, &problem)) return;
  switch (m.type) {
    case lobby::kHello:
      Queue(lobby::EncodeFrame(lobby::Message(lobby::kWelcome).Num(lobby::kVersion).Text("floor")));
      return Flush();
    case lobby::kLogin:
      name_ = m.text(0);
      in_ = true;
      Queue(lobby::EncodeFrame(lobby::Message(lobby::kLoggedIn).Text(name_).Num(1000)));
      return Flush();
    case lobby::kPing:
      Queue(lobby::EncodeFrame(lobby::Message(lobby::kPong).Num(m.num(0))));
      return Flush();
    case lobby::kChat:
      return floor_.Broadcast(
          lobby::EncodeFrame(lobby::Message(lobby::kChatLine).Text(name_).Text(m.text(0))));
    default:
      return;
  }
}

void Connection::Queue(const Bytes& frame) {
  if (open_) queued_.insert(queued_.end(), frame.begin(), frame.end());
}

// Writes what is queued, as far as the socket takes it.
void Connection::Flush() {
  if (!open_ || waiting_ || queued_.empty()) return;
  size_t written = 0;
  if (ssl_ != nullptr) {
    if (!SSL_is_init_finished(ssl_)) return;
    // A write that had to wait is retried with the same bytes first.
    size_t size = tlsPending_ != 0 ? tlsPending_ : queued_.size();
    int n = SSL_write(ssl_, queued_.data(), static_cast<int>(size));
    if (n <= 0) {
      if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_WRITE) return Close();
      tlsPending_ = size;
      return WaitToWrite();
    }
    tlsPending_ = 0;
    written = static_cast<size_t>(n);
  } else {
    ErrorCode ec;
    written = socket_.write_some(asio::buffer(queued_), ec);
    if (ec && ec != asio::error::would_block) return Close();
  }
  queued_.erase(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(written));
  if (!queued_.empty()) WaitToWrite();
}

void Connection::WaitToWrite() {
  waiting_ = true;
  auto self = shared_from_this();
  socket_.async_wait(tcp::socket::wait_write, [self](ErrorCode ec) {
    self->waiting_ = false;
    if (!self->open_) return;
    if (ec) return self->Close();
    self->Flush();
  });
}

void Connection::Close() {
  if (!open_) return;
  open_ = false;
  in_ = false;
  ErrorCode ec;
  socket_.close(ec);
  floor_.Remove(this);
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen = "127.0.0.1:0";
  std::string portFile;
  std::string cert;
  std::string key;
  bool plain = false;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (option == "--plain") {
      plain = true;
      continue;
    }
    if (option == "--listen") {
      listen = value;
    } else if (option == "--port-file") {
      portFile = value;
    } else if (option == "--cert") {
      cert = value;
    } else if (option == "--key") {
      key = value;
    } else {
      fprintf(stderr,
              "usage: rallylobby_fanout_floor [--listen HOST:PORT] [--port-file FILE]\n"
              "                               (--cert FILE --key FILE | --plain)\n");
      return 2;
    }
    ++i;
  }
  SSL_CTX* tls = nullptr;
  if (!plain) {
    tls = SSL_CTX_new(TLS_server_method());
    lobby::UseServerTlsProfile(tls);
    SSL_CTX_set_read_ahead(tls, 1);
    if (SSL_CTX_use_certificate_chain_file(tls, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls, key.c_str(), SSL_FILETYPE_PEM) != 1) {
      fprintf(stderr, "floor: TLS needs --cert and --key (or --plain)\n");
      return 1;
    }
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  size_t colon = listen.rfind(':');
  asio::io_context io(1);
  Floor floor(io,
              tcp::endpoint(asio::ip::make_address(listen.substr(0, colon)),
                            static_cast<uint16_t>(atoi(listen.c_str() + colon + 1))),
              tls);
  floor.Accept();
  if (!portFile.empty()) {
    std::ofstream file(portFile + ".tmp");
    file << floor.Port();
    file.close();
    std::rename((portFile + ".tmp").c_str(), portFile.c_str());
  }
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](ErrorCode, int) { io.stop(); });
  io.run();
  return 0;
}
