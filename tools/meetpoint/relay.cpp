#include "relay.h"

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <deque>
#include <mutex>
#include <thread>

namespace mp {

namespace {

const size_t kMaxWaiting = 100;
const int kFirstPauseMs = 250;
const int kLongestPauseMs = 8000;

using Stream = asio::ssl::stream<asio::ip::tcp::socket>;

}  // namespace

struct LobbyLink::Impl {
  explicit Impl(const RelaySettings& s)
      : settings(s),
        tls(asio::ssl::context::tls_client),
        timer(io),
        work(asio::make_work_guard(io)) {
    if (!settings.plain) {
      std::error_code ec;
      if (settings.caFile.empty()) {
        tls.set_default_verify_paths(ec);
      } else {
        tls.load_verify_file(settings.caFile, ec);
      }
      if (ec)
        News("!! can't read the certificates to trust (" + settings.caFile + "): " + ec.message());
      tls.set_verify_mode(asio::ssl::verify_peer);
    }
    asio::post(io, [this] { Connect(); });
    thread = std::thread([this] { io.run(); });
  }

  ~Impl() {
    asio::post(io, [this] {
      stopping = true;
      Drop();
      timer.cancel();
      work.reset();
    });
    thread.join();
  }

  void News(const std::string& line, const lobby::Message* message = nullptr) {
    std::lock_guard<std::mutex> lock(mutex);
    news.emplace_back();
    news.back().line = line;
    if (message != nullptr) {
      news.back().hasMessage = true;
      news.back().message = *message;
    }
  }

  const std::string& Server() const { return settings.servers[current]; }

  void Connect() {
    if (stopping) return;
    const std::string& where = Server();
    size_t colon = where.rfind(':');
    std::error_code ec;
    asio::ip::tcp::resolver resolver(io);
    auto found = resolver.resolve(where.substr(0, colon), where.substr(colon + 1), ec);
    if (colon == std::string::npos || ec) return Retry("can't resolve " + where);
    if (settings.plain) {
      for (const auto& entry : found) {
        if (!entry.endpoint().address().is_loopback()) {
          News("!! lobby server " + where + " is not on loopback: plain TCP is refused, use TLS");
          return;  // no retry: this will not get better
        }
      }
    }
    stream = std::make_shared<Stream>(io, tls);
    reader = lobby::FrameReader();
    if (!settings.plain) {
      std::string host = where.substr(0, colon);
      SSL_set_tlsext_host_name(stream->native_handle(), host.c_str());
      stream->set_verify_callback(asio::ssl::host_name_verification(host));
    }
    std::shared_ptr<Stream> s = stream;
    timer.expires_after(std::chrono::seconds(3));
    timer.async_wait([this, s](std::error_code e) {
      if (!e && s == stream && !online) Retry(Server() + " did not let us in within 3 s");
    });
    asio::async_connect(
        s->next_layer(), found, [this, s](std::error_code e, const asio::ip::tcp::endpoint&) {
          if (s != stream) return;
          if (e) return Retry("can't connect to " + Server() + ": " + e.message());
          std::error_code ignored;
          s->next_layer().set_option(asio::ip::tcp::no_delay(true), ignored);
          if (settings.plain) return Greet(s);
          s->async_handshake(asio::ssl::stream_base::client, [this, s](std::error_code h) {
            if (s != stream) return;
            if (h) return Retry("TLS with " + Server() + " failed: " + h.message());
            Greet(s);
          });
        });
  }

  void Greet(const std::shared_ptr<Stream>& s) {
    Write(lobby::Message(lobby::kHello).Num(lobby::kMagic).Num(lobby::kVersion).Text("meetpoint"));
    Read(s);
  }

  void Read(const std::shared_ptr<Stream>& s) {
    auto done = [this, s](std::error_code ec, size_t size) {
      if (s != stream) return;
      if (ec) return Retry("lobby server " + Server() + " went away (" + ec.message() + ")");
      std::vector<lobby::Bytes> payloads;
      bool inStep = reader.Feed(in, size, &payloads);
      for (const lobby::Bytes& payload : payloads) {
        lobby::Message message;
        std::string problem;
        if (!lobby::Decode(payload.data(), payload.size(), &message, &problem)) {
          News("!! from the lobby server: " + problem + "; ignored it");
        } else {
          Receive(message);
        }
        if (s != stream) return;
      }
      if (!inStep) return Retry("the lobby server's stream is out of step: " + reader.Error());
      Read(s);
    };
    if (settings.plain) {
      s->next_layer().async_read_some(asio::buffer(in), done);
    } else {
      s->async_read_some(asio::buffer(in), done);
    }
  }

  void Receive(const lobby::Message& m) {
    switch (m.type) {
      case lobby::kWelcome:
        Write(lobby::Message(lobby::kLogin).Text(settings.player).Text(settings.password));
        return;
      case lobby::kLoggedIn:
        online = true;
        pauseMs = kFirstPauseMs;
        timer.cancel();
        News("== logged in to lobby server " + Server() + " as " + m.text(0) + ", rating " +
             std::to_string(m.num(1)) +
             (waiting.empty()
                  ? ""
                  : "; sending the " + std::to_string(waiting.size()) + " waiting requests"));
        while (!waiting.empty()) {
          Write(waiting.front());
          waiting.pop_front();
        }
        return;
      case lobby::kError: {
        const lobby::MessageLayout* layout = lobby::LayoutOf(static_cast<uint8_t>(m.num(1)));
        News("!! lobby server refused " +
             std::string(layout != nullptr ? layout->name : "the connection") + ": " + m.text(0) +
             ": " + m.text(2));
        if (m.text(0) == "bad-login" || m.text(0) == "version") givingUp = true;
        return;
      }
      case lobby::kPong:
        return;
      default:
        News("<= " + lobby::Describe(m), &m);
    }
  }

  void Write(const lobby::Message& m) {
    if (stream == nullptr) return;
    outbox.push_back({m, std::make_shared<lobby::Bytes>(lobby::EncodeFrame(m))});
    if (outbox.size() == 1) Flush();
  }

  void Flush() {
    if (outbox.empty() || stream == nullptr) return;
    std::shared_ptr<Stream> s = stream;
    auto frame = outbox.front().second;
    auto done = [this, s, frame](std::error_code ec, size_t) {
      if (s != stream) return;
      if (ec) return Retry("sending to lobby server " + Server() + " failed: " + ec.message());
      outbox.pop_front();
      Flush();
    };
    if (settings.plain) {
      asio::async_write(s->next_layer(), asio::buffer(*frame), done);
    } else {
      asio::async_write(*s, asio::buffer(*frame), done);
    }
  }

  void Drop() {
    if (stream != nullptr) {
      std::error_code ec;
      stream->next_layer().close(ec);
    }
    stream.reset();
    // Requests not yet written wait for the next server, ahead of newer ones; Hello and Login
    // belong to the connection that is gone.
    for (auto it = outbox.rbegin(); it != outbox.rend(); ++it) {
      if (it->first.type != lobby::kHello && it->first.type != lobby::kLogin)
        waiting.push_front(it->first);
    }
    outbox.clear();
    online = false;
  }

  // The connection is gone or never came: the next server, after a pause that doubles each
  // time up to kLongestPauseMs. A refused login waits the longest: it will not get better soon.
  void Retry(const std::string& why) {
    Drop();
    if (stopping) return;
    current = (current + 1) % settings.servers.size();
    int pause = givingUp ? kLongestPauseMs : pauseMs;
    givingUp = false;
    pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
    News("== " + why + "; trying " + Server() + " in " + std::to_string(pause) + " ms");
    timer.expires_after(std::chrono::milliseconds(pause));
    timer.async_wait([this](std::error_code ec) {
      if (!ec) Connect();
    });
  }

  RelaySettings settings;
  asio::io_context io;
  asio::ssl::context tls;
  asio::steady_timer timer;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  std::thread thread;
  std::shared_ptr<Stream> stream;
  lobby::FrameReader reader;
  uint8_t in[8192];
  std::deque<std::pair<lobby::Message, std::shared_ptr<lobby::Bytes>>> outbox;
  std::deque<lobby::Message> waiting;
  size_t current = 0;
  int pauseMs = kFirstPauseMs;
  bool online = false;
  bool givingUp = false;
  bool stopping = false;
  std::mutex mutex;
  std::vector<RelayNews> news;
};

LobbyLink::LobbyLink(const RelaySettings& settings) : impl_(std::make_unique<Impl>(settings)) {}

LobbyLink::~LobbyLink() = default;

void LobbyLink::Send(const lobby::Message& message) {
  Impl* impl = impl_.get();
  asio::post(impl->io, [impl, message] {
    if (impl->online) return impl->Write(message);
    if (impl->waiting.size() >= kMaxWaiting) {
      return impl->News("!! not connected to a lobby server and " + std::to_string(kMaxWaiting) +
                        " requests wait already; dropped " + lobby::Describe(message));
    }
    impl->waiting.push_back(message);
    impl->News("== not connected to a lobby server; " + lobby::Describe(message) + " waits");
  });
}

std::vector<RelayNews> LobbyLink::Take() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<RelayNews> taken;
  taken.swap(impl_->news);
  return taken;
}

}  // namespace mp
