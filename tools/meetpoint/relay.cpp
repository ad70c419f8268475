#include "relay.h"

#include "net.h"

#include <deque>
#include <mutex>
#include <thread>

#include "retry.h"

namespace mp {

namespace {

const size_t kMaxWaiting = 100;
const uint32_t kFirstPauseMs = 250;
const uint32_t kLongestPauseMs = 8000;
// A TCP connection and the TLS handshake: a little more than the server's 5 s for them.
const int kHandshakeWaitMs = 6000;
// From connecting to the answer to the login: a little more than the server's 10 s, within
// which it answers a login it admitted (or says it is busy at once).
const int kLoginWaitMs = 12000;

// A text from the server, as it may stand on a console line: escaped, without quotes.
std::string Clean(const std::string& text) {
  std::string quoted = lobby::Quote(text);
  return quoted.substr(1, quoted.size() - 2);
}

}  // namespace

struct LobbyLink::Impl {
  explicit Impl(const RelaySettings& s)
      : settings(s),
        timer(io),
        work(asio::make_work_guard(io)),
        backoff(kFirstPauseMs, kLongestPauseMs) {
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

  void News(const std::string& line, const lobby::Message* message = nullptr,
            const std::string& link = "", const std::string& why = "") {
    std::lock_guard<std::mutex> lock(mutex);
    news.emplace_back();
    news.back().line = line;
    news.back().link = link;
    news.back().why = why;
    if (message != nullptr) {
      news.back().hasMessage = true;
      news.back().message = *message;
    }
  }

  bool HasPlayer() const { return !settings.player.empty(); }

  // Login, or Register for an account the page is making.
  void WriteSignIn() {
    Write(lobby::Message(create && !accepted ? lobby::kRegister : lobby::kLogin)
              .Text(settings.player)
              .Text(settings.password));
    signingIn = true;
  }

  const std::string& Server() const { return settings.servers[current]; }

  // Why a handshake failed, in the same words on every system.
  std::string HandshakeFailed(TlsFailure failure, const std::string& host,
                              const std::string& detail) const {
    std::string what;
    switch (failure) {
      case TlsFailure::kUntrusted:
        what = "its certificate is not trusted (" + detail + ")";
        break;
      case TlsFailure::kWrongName:
        what = "its certificate does not name " + host;
        break;
      case TlsFailure::kExpired:
        what = "its certificate has expired or is not valid yet";
        break;
      case TlsFailure::kNotTls:
        what = "it does not speak TLS";
        break;
      default:
        what = detail;
    }
    return "TLS with " + Server() + " failed: " + what;
  }

  // Gives up on this try when the time is up (and it is still this try).
  void Expect(const std::shared_ptr<LobbyStream>& s, int ms, const std::string& what) {
    timer.expires_after(std::chrono::milliseconds(ms));
    timer.async_wait([this, s, what](const ErrorCode& e) {
      if (e || s != stream || online) return;
      Retry(what);
    });
  }

  void Connect() {
    if (stopping || stopped) return;
    const std::string& where = Server();
    size_t colon = where.rfind(':');
    ErrorCode ec;
    asio::ip::tcp::resolver resolver(io);
    auto found = resolver.resolve(where.substr(0, colon), where.substr(colon + 1), ec);
    if (colon == std::string::npos || ec) return Retry("can't resolve " + where);
    if (settings.tls == nullptr) {
      for (const auto& entry : found) {
        if (!entry.endpoint().address().is_loopback()) {
          News("!! lobby server " + where + " is not on loopback: plain TCP is refused, use TLS",
               nullptr, "stopped", "plain TCP to a server that is not on loopback");
          return;  // no retry: this will not get better
        }
      }
    }
    stream = MakeLobbyStream(io, settings.tls);
    reader = lobby::FrameReader();
    std::shared_ptr<LobbyStream> s = stream;
    auto connected = std::chrono::steady_clock::now();
    std::string within = " within " + std::to_string(kHandshakeWaitMs / 1000) + " s";
    Expect(s, kHandshakeWaitMs, "can't connect to " + Server() + within);
    std::string host = where.substr(0, colon);
    asio::async_connect(
        s->Socket(), found,
        [this, s, host, connected, within](const ErrorCode& e, const asio::ip::tcp::endpoint&) {
          if (s != stream) return;
          if (e) return Retry("can't connect to " + Server() + ": " + e.message());
          ErrorCode ignored;
          s->Socket().set_option(asio::ip::tcp::no_delay(true), ignored);
          // The connection and the handshake share one wait; a server that connects and then
          // says nothing is named for what it failed to do.
          if (settings.tls != nullptr) {
            auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - connected)
                             .count();
            Expect(s, static_cast<int>(std::max<int64_t>(kHandshakeWaitMs - spent, 0)),
                   "TLS with " + Server() + " failed: no handshake" + within);
          }
          s->AsyncHandshake(
              host, [this, s, host, connected](TlsFailure failure, const std::string& detail) {
                if (s != stream) return;
                if (failure != TlsFailure::kNone)
                  return Retry(HandshakeFailed(failure, host, detail));
                auto left = kLoginWaitMs - std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - connected)
                                               .count();
                // Without a player, the wait for a sign-in is the server's to end.
                if (HasPlayer()) {
                  Expect(s, static_cast<int>(std::max<int64_t>(left, 0)),
                         Server() + " did not let us in within " +
                             std::to_string(kLoginWaitMs / 1000) + " s");
                } else {
                  timer.cancel();
                }
                Greet(s);
              });
        });
  }

  void Greet(const std::shared_ptr<LobbyStream>& s) {
    Write(lobby::Message(lobby::kHello).Num(lobby::kMagic).Num(lobby::kVersion).Text("meetpoint"));
    Read(s);
  }

  void Read(const std::shared_ptr<LobbyStream>& s) {
    auto done = [this, s](ErrorCode ec, size_t size) {
      if (s != stream) return;
      if (ec) return Retry("lobby server " + Server() + " went away (" + ec.message() + ")");
      std::vector<lobby::Bytes> payloads;
      bool inStep = reader.Feed(in, size, &payloads);
      for (const lobby::Bytes& payload : payloads) {
        lobby::Message message;
        std::string problem;
        if (!lobby::Decode(payload.data(), payload.size(), &message, &problem)) {
          News("!! from the lobby server: " + Clean(problem) + "; ignored it");
        } else {
          Receive(message);
        }
        if (s != stream) return;
      }
      if (!inStep) return Retry("the lobby server's stream is out of step: " + reader.Error());
      Read(s);
    };
    s->AsyncReadSome(asio::buffer(in), done);
  }

  void Receive(const lobby::Message& m) {
    switch (m.type) {
      case lobby::kWelcome:
        welcomed = true;
        if (HasPlayer()) {
          WriteSignIn();
        } else {
          News("== connected to lobby server " + Server() +
                   "; waiting for the player to sign in "
                   "on the page",
               nullptr, "connected");
        }
        return;
      case lobby::kLoggedIn:
        online = true;
        accepted = true;
        signingIn = false;
        settings.player = m.text(0);  // as the server stores it, for logging in again
        backoff.Reset();
        timer.cancel();
        News(std::string(create ? "== signed up and " : "== ") + "logged in to lobby server " +
                 Server() + " as " + Clean(m.text(0)) + ", rating " + std::to_string(m.num(1)) +
                 (waiting.empty()
                      ? ""
                      : "; sending the " + std::to_string(waiting.size()) + " waiting requests"),
             &m, "online");
        create = false;
        while (!waiting.empty()) {
          Write(waiting.front());
          waiting.pop_front();
        }
        return;
      case lobby::kError:
        return Refused(m);
      case lobby::kPong:
        return;
      case lobby::kOnline:
      case lobby::kRatingsTable:
        // Asked for every few seconds while a page is open: for the page, not the console.
        return News("", &m);
      default:
        News("<= " + lobby::Describe(m), &m);
    }
  }

  // An Error from the server. Most are printed and change nothing; some end this connection,
  // and the time until the next try depends on why.
  void Refused(const lobby::Message& error) {
    const std::string& rule = error.text(0);
    auto request = static_cast<uint8_t>(error.num(1));
    const std::string& detail = error.text(2);
    bool fatal = error.num(3) != 0;
    uint32_t hinted = 0;
    bool hint = lobby::ParseRetryAfter(detail, &hinted);
    if (request == lobby::kLogin || request == lobby::kRegister) signingIn = false;
    if (!HasPlayer() && rule == "login-timeout") {
      // Nobody signed in while the server waited: the next sign-in connects again.
      Drop();
      timer.cancel();
      return News("== lobby server " + Server() +
                      " closed the connection, as nobody signed in; "
                      "signing in on the page connects again",
                  nullptr, "idle", "nobody signed in");
    }
    // Every refusal goes to the page too, which shows its sentence.
    News("", &error);
    if (rule == "busy") {
      // One line: the server can't take the login now and said when to come back.
      return Retry("lobby server " + Server() + " is busy (" + Clean(detail) + ")",
                   backoff.After(hint ? hinted : backoff.Longest()));
    }
    if (rule == "logged-in-elsewhere") {
      News("!! " + Clean(settings.player) +
               " logged in to the lobby elsewhere (another meetpoint, here or on another "
               "machine); this meetpoint stops relaying and will not log in again: end the other "
               "one, then restart this one",
           nullptr, "stopped", "signed in elsewhere");
      stopped = true;
      Drop();
      timer.cancel();
      return;
    }
    const lobby::MessageLayout* layout = lobby::LayoutOf(request);
    News("!! lobby server refused " +
         std::string(layout != nullptr ? layout->name : "the connection") + ": " + Clean(rule) +
         ": " + Clean(detail));
    // A sign-in from the page that the server turned down is dropped: the page shows why, and
    // the player tries again (a busy server, above, is tried again by itself).
    if (pageCredentials && !accepted && (request == lobby::kLogin || request == lobby::kRegister)) {
      settings.player.clear();
      settings.password.clear();
      if (fatal) {
        Drop();
        timer.cancel();
        News("", nullptr, "idle", "the server closed the connection after refusing the sign-in");
      }
      return;
    }
    // A wrong password or a version the server does not speak will not get better soon.
    bool hopeless = rule == "bad-login" || rule == "version";
    bool loginFailed = !online && request == lobby::kLogin;
    if (!fatal && !hopeless && !loginFailed) return;
    uint32_t pause = hint       ? backoff.After(hinted)
                     : hopeless ? backoff.After(kLongestPauseMs)
                                : backoff.Next();
    Retry("lobby server " + Server() + " refused us (" + Clean(rule) + ")", pause);
  }

  void Write(const lobby::Message& m) {
    if (stream == nullptr) return;
    outbox.push_back({m, std::make_shared<lobby::Bytes>(lobby::EncodeFrame(m))});
    if (outbox.size() == 1) Flush();
  }

  void Flush() {
    if (outbox.empty() || stream == nullptr) return;
    std::shared_ptr<LobbyStream> s = stream;
    auto frame = outbox.front().second;
    auto done = [this, s, frame](ErrorCode ec, size_t) {
      if (s != stream) return;
      if (ec) return Retry("sending to lobby server " + Server() + " failed: " + ec.message());
      outbox.pop_front();
      Flush();
    };
    s->AsyncWrite(asio::buffer(*frame), done);
  }

  void Drop() {
    if (stream != nullptr) {
      ErrorCode ec;
      stream->Socket().close(ec);
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
    welcomed = false;
    signingIn = false;
  }

  // The connection is gone or never came: the next server, after the pause given, or else the
  // back-off's next one.
  void Retry(const std::string& why, uint32_t pauseMs = 0) {
    Drop();
    if (stopping || stopped) return;
    if (!HasPlayer()) {
      // Nobody to log in as: the next sign-in connects.
      timer.cancel();
      return News("== " + why + "; signing in on the page connects again", nullptr, "idle", why);
    }
    current = (current + 1) % settings.servers.size();
    uint32_t pause = pauseMs != 0 ? pauseMs : backoff.Next();
    News("== " + why + "; trying " + Server() + " in " + std::to_string(pause) + " ms", nullptr,
         "lost", why);
    timer.expires_after(std::chrono::milliseconds(pause));
    timer.async_wait([this](ErrorCode ec) {
      if (!ec) Connect();
    });
  }

  RelaySettings settings;
  asio::io_context io;
  asio::steady_timer timer;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  std::thread thread;
  std::shared_ptr<LobbyStream> stream;
  lobby::FrameReader reader;
  uint8_t in[8192];
  std::deque<std::pair<lobby::Message, std::shared_ptr<lobby::Bytes>>> outbox;
  std::deque<lobby::Message> waiting;
  size_t current = 0;
  lobby::Backoff backoff;
  bool online = false;
  bool welcomed = false;         // Hello answered: a Login or Register may go
  bool signingIn = false;        // a Login or Register awaits its answer
  bool create = false;           // the page asked for a new account
  bool accepted = false;         // the server let this player in once
  bool pageCredentials = false;  // the player came from the page, not --player
  bool stopped = false;          // the player logged in elsewhere: no more tries
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
    if (impl->stopped) {
      return impl->News("!! not relayed, as " + Clean(impl->settings.player) +
                        " logged in elsewhere: " + lobby::Describe(message));
    }
    if (impl->waiting.size() >= kMaxWaiting) {
      return impl->News("!! not connected to a lobby server and " + std::to_string(kMaxWaiting) +
                        " requests wait already; dropped " + lobby::Describe(message));
    }
    impl->waiting.push_back(message);
    impl->News("== not connected to a lobby server; " + lobby::Describe(message) + " waits");
  });
}

void LobbyLink::Ask(const lobby::Message& message) {
  Impl* impl = impl_.get();
  asio::post(impl->io, [impl, message] {
    if (impl->online) impl->Write(message);
  });
}

void LobbyLink::SignIn(const std::string& player, const std::string& password, bool create) {
  Impl* impl = impl_.get();
  asio::post(impl->io, [impl, player, password, create] {
    auto refuse = [impl](const std::string& why) {
      lobby::Message error =
          lobby::Message(lobby::kError).Text("signing-in").Num(lobby::kLogin).Text(why).Num(0);
      impl->News("!! not signed in: " + why, &error);
    };
    if (impl->online) return refuse("Already signed in as " + impl->settings.player + ".");
    if (impl->signingIn) return refuse("A sign-in is being checked; wait for its answer.");
    impl->settings.player = player;
    impl->settings.password = password;
    impl->create = create;
    impl->accepted = false;
    impl->pageCredentials = true;
    impl->stopped = false;
    if (impl->stream == nullptr) {
      // Not connected (idle, or between tries): connect now.
      impl->timer.cancel();
      impl->backoff.Reset();
      impl->News("", nullptr, "connecting");
      return impl->Connect();
    }
    if (!impl->welcomed) return;  // the Welcome to come sends it
    impl->WriteSignIn();
    impl->Expect(impl->stream, kLoginWaitMs,
                 impl->Server() + " did not answer the sign-in within " +
                     std::to_string(kLoginWaitMs / 1000) + " s");
  });
}

std::vector<RelayNews> LobbyLink::Take() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<RelayNews> taken;
  taken.swap(impl_->news);
  return taken;
}

}  // namespace mp
