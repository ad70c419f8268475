// rallylobby_load: N protocol-level players against one or more lobby servers (plain TCP on
// loopback), to measure what the servers can carry. Every player logs in as meetpoint does:
// it honours "busy, retry after N ms", and when a try fails it backs off from 250 ms to 8 s
// with jitter. A few of them then chat at a steady total rate, each line stamped with the time
// it was sent, and every player notes when each line reaches it. Each player connects from an
// address of its own in 127.0.0.0/8, so that the servers' per-address limits see what they
// would see on the internet.
//
//   rallylobby_load --servers HOST:PORT[,...] --players N --prefix NAME --password-file FILE
//                   [--chats N] [--chat-rate PER_SECOND] [--pids PID,...]
//                   [--storm SECONDS] [--silent N]
//
// Prints: logins a second, chat lines delivered and lost, fan-out latency (p50, p99, max),
// events delivered a second, and with --pids the servers' resident memory per player.
// --storm: the players start before the servers listen (a crowd waiting for a restart) and
// have SECONDS to get in; prints when the first and the last got in, and how often they were
// told to come back later. No chat. --silent N: first N connections that never say anything;
// prints how long the servers took to close them all (and with --pids the CPU they used
// meanwhile), then logs the players in.
#include <sys/resource.h>
#include <unistd.h>

#include "net.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "protocol.h"
#include "retry.h"

namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

// What meetpoint waits for a login before it gives up on a try.
const auto kLoginWait = std::chrono::seconds(12);
// Chat lines a second that one player sends at most: below the servers' default chat rate.
const double kChatPerSender = 1.5;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream list(text);
  std::string part;
  while (std::getline(list, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

// Resident memory of a process in KiB, and the CPU time it used in seconds, from /proc.
long RssKiB(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
  }
  return 0;
}

double CpuSeconds(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t end = text.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The i-th address of 127.0.0.0/8 that the players connect from (none ends in 0 or 255).
asio::ip::address_v4 SourceAddress(size_t i) {
  return asio::ip::make_address_v4((127u << 24) | static_cast<uint32_t>((1 + i / 62500) << 16) |
                                   static_cast<uint32_t>((1 + (i / 250) % 250) << 8) |
                                   static_cast<uint32_t>(1 + i % 250));
}

struct Stats {
  size_t loggedIn = 0;
  size_t failed = 0;
  size_t busy = 0;      // told to come back later
  size_t refused = 0;   // no connection (no server listening, or its queue full)
  size_t timedOut = 0;  // no answer to the login within meetpoint's wait
  size_t dropped = 0;   // the connection ended before the answer
  size_t retries = 0;   // tries that failed and were made again
  size_t delivered = 0;
  std::vector<uint32_t> latencyUs;
  std::vector<double> loginAt;  // seconds from the start of the logins
};

class Player : public std::enable_shared_from_this<Player> {
 public:
  Player(asio::io_context& io, Stats& stats, tcp::endpoint server, asio::ip::address_v4 from,
         std::string name, std::string password, Clock::time_point start)
      : io_(io),
        socket_(io),
        timer_(io),
        stats_(stats),
        server_(server),
        from_(from),
        name_(std::move(name)),
        password_(std::move(password)),
        start_(start),
        backoff_(250, 8000) {}

  void Start() { Connect(); }
  void Chat(const std::string& text) { Send(lobby::Message(lobby::kChat).Text(text)); }
  bool In() const { return in_; }

 private:
  void Connect() {
    ++try_;
    socket_ = tcp::socket(io_);
    reader_ = lobby::FrameReader();
    pending_.clear();
    ErrorCode ec;
    socket_.open(tcp::v4(), ec);
    if (!ec) socket_.bind(tcp::endpoint(from_, 0), ec);
    if (ec) return Fail("bind " + from_.to_string() + ": " + ec.message());
    auto self = shared_from_this();
    unsigned tried = try_;
    timer_.expires_after(kLoginWait);
    timer_.async_wait([self, tried](ErrorCode e) {
      if (e || self->in_ || self->try_ != tried) return;
      ++self->stats_.timedOut;
      self->Retry(self->backoff_.Next());
    });
    socket_.async_connect(server_, [self, tried](ErrorCode e) {
      if (self->try_ != tried) return;
      if (e) {
        ++self->stats_.refused;
        return self->Retry(self->backoff_.Next());
      }
      self->socket_.set_option(tcp::no_delay(true), e);
      self->Send(
          lobby::Message(lobby::kHello).Num(lobby::kMagic).Num(lobby::kVersion).Text("load"));
      self->Send(lobby::Message(lobby::kLogin).Text(self->name_).Text(self->password_));
      self->Read(tried);
    });
  }

  // This try failed before the login: another one after the pause, as meetpoint does.
  void Retry(uint32_t pauseMs) {
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

  void Fail(const std::string& why) {
    if (!failed_ && ++stats_.failed <= 5)
      fprintf(stderr, "load: a player failed: %s\n", why.c_str());
    failed_ = true;
    ++try_;
    timer_.cancel();
  }

  void Send(const lobby::Message& m) {
    lobby::Bytes frame = lobby::EncodeFrame(m);
    pending_.insert(pending_.end(), frame.begin(), frame.end());
    Write();
  }

  void Write() {
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

  void Read(unsigned tried) {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(buffer_), [self, tried](ErrorCode ec, size_t size) {
      if (self->try_ != tried) return;
      if (ec && !self->in_) {
        ++self->stats_.dropped;
        return self->Retry(self->backoff_.Next());
      }
      if (ec) return self->Fail("read: " + ec.message());
      std::vector<lobby::Bytes> payloads;
      if (!self->reader_.Feed(self->buffer_, size, &payloads))
        return self->Fail(self->reader_.Error());
      int64_t now = NowNs();
      for (const lobby::Bytes& payload : payloads) {
        lobby::Message m;
        std::string problem;
        if (!lobby::Decode(payload.data(), payload.size(), &m, &problem))
          return self->Fail(problem);
        if (self->Receive(m, now) && self->try_ != tried) return;
      }
      self->Read(tried);
    });
  }

  // True when the message ended this try.
  bool Receive(const lobby::Message& m, int64_t now) {
    if (m.type == lobby::kLoggedIn) {
      in_ = true;
      timer_.cancel();
      ++stats_.loggedIn;
      stats_.loginAt.push_back(Since(start_));
    } else if (m.type == lobby::kChatLine) {
      ++stats_.delivered;
      int64_t sent = atoll(m.text(1).c_str());
      stats_.latencyUs.push_back(static_cast<uint32_t>((now - sent) / 1000));
    } else if (m.type == lobby::kError) {
      uint32_t after = 0;
      bool later = m.text(0) == "busy" || m.text(0) == "login-limit";
      if (!in_ && later && lobby::ParseRetryAfter(m.text(2), &after)) {
        ++stats_.busy;
        Retry(backoff_.After(after));
        return true;
      }
      Fail("refused: " + m.text(0) + ": " + m.text(2));
      return true;
    }
    return false;
  }

  asio::io_context& io_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  Stats& stats_;
  tcp::endpoint server_;
  asio::ip::address_v4 from_;
  std::string name_;
  std::string password_;
  Clock::time_point start_;
  lobby::Backoff backoff_;
  unsigned try_ = 0;  // answers of older tries are ignored
  lobby::FrameReader reader_;
  uint8_t buffer_[16384];
  lobby::Bytes pending_;
  lobby::Bytes out_;
  bool writing_ = false;
  bool in_ = false;
  bool failed_ = false;
};

struct Options {
  std::vector<std::string> servers;
  size_t players = 1000;
  std::string prefix = "load";
  std::string passwordFile;
  size_t chats = 200;
  double chatRate = 100;  // lines a second, over all senders
  std::vector<std::string> pids;
  unsigned long storm = 0;  // seconds for a waiting crowd to get in; 0: no storm
  size_t silent = 0;
};

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    std::string value = argv[i + 1];
    if (option == "--servers") {
      o->servers = Split(value);
    } else if (option == "--players") {
      o->players = strtoul(value.c_str(), nullptr, 10);
    } else if (option == "--prefix") {
      o->prefix = value;
    } else if (option == "--password-file") {
      o->passwordFile = value;
    } else if (option == "--chats") {
      o->chats = strtoul(value.c_str(), nullptr, 10);
    } else if (option == "--chat-rate") {
      o->chatRate = atof(value.c_str());
    } else if (option == "--pids") {
      o->pids = Split(value);
    } else if (option == "--storm") {
      o->storm = strtoul(value.c_str(), nullptr, 10);
    } else if (option == "--silent") {
      o->silent = strtoul(value.c_str(), nullptr, 10);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !o->servers.empty() && o->players > 0 && !o->passwordFile.empty() &&
         o->chatRate > 0;
}

// Runs the loop until done() or the time is up; false on time-out.
template <class Done>
bool RunUntil(asio::io_context& io, Done done, std::chrono::seconds limit) {
  auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    // A loop that ran out of work has stopped: it takes new work only after a restart.
    if (io.stopped()) io.restart();
    io.run_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Connections that say nothing: how long the servers take to close them all.
void Silent(asio::io_context& io, const Options& o, const std::vector<tcp::endpoint>& endpoints) {
  std::vector<double> cpuBefore;
  for (const std::string& pid : o.pids) cpuBefore.push_back(CpuSeconds(pid));
  auto start = Clock::now();
  size_t closed = 0;
  std::vector<std::shared_ptr<tcp::socket>> sockets;
  std::vector<std::shared_ptr<uint8_t>> buffers;
  for (size_t i = 0; i < o.silent; ++i) {
    auto socket = std::make_shared<tcp::socket>(io);
    ErrorCode ec;
    socket->open(tcp::v4(), ec);
    if (!ec) socket->bind(tcp::endpoint(SourceAddress(o.players + i), 0), ec);
    if (ec) {
      ++closed;
      continue;
    }
    auto byte = std::make_shared<uint8_t>();
    socket->async_connect(endpoints[i % endpoints.size()], [socket, byte, &closed](ErrorCode e) {
      if (e) return void(++closed);
      socket->async_read_some(asio::buffer(byte.get(), 1),
                              [socket, byte, &closed](ErrorCode, size_t) { ++closed; });
    });
    sockets.push_back(socket);
  }
  bool all = RunUntil(
      io, [&] { return closed == o.silent; }, std::chrono::seconds(120));
  double seconds = Since(start);
  printf("silent connections: %zu, all closed by the servers: %s, after %.1f s\n", o.silent,
         all ? "yes" : "no", seconds);
  for (size_t i = 0; i < o.pids.size(); ++i) {
    printf("server %s: %.0f %% of a core meanwhile\n", o.pids[i].c_str(),
           100 * (CpuSeconds(o.pids[i]) - cpuBefore[i]) / seconds);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    fputs(
        "usage: rallylobby_load --servers HOST:PORT[,...] --players N --prefix NAME\n"
        "                       --password-file FILE [--chats N] [--chat-rate N] [--pids "
        "PID,...]\n"
        "                       [--storm SECONDS] [--silent N]\n",
        stderr);
    return 2;
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::ifstream file(o.passwordFile);
  std::string password;
  std::getline(file, password);

  asio::io_context io(1);
  std::vector<tcp::endpoint> endpoints;
  for (const std::string& server : o.servers) {
    size_t colon = server.rfind(':');
    endpoints.emplace_back(asio::ip::make_address(server.substr(0, colon)),
                           static_cast<uint16_t>(atoi(server.c_str() + colon + 1)));
  }
  if (o.silent != 0) Silent(io, o, endpoints);
  std::vector<long> rssBefore;
  for (const std::string& pid : o.pids) rssBefore.push_back(RssKiB(pid));

  // Logins: at most 200 under way at once so that no listen queue overflows; in a storm all of
  // them at once, as a crowd that waited for a server.
  Stats stats;
  std::vector<std::shared_ptr<Player>> players;
  size_t atOnce = o.storm != 0 ? o.players : 200;
  auto started = Clock::now();
  for (size_t i = 0; i < o.players; ++i) {
    if (!RunUntil(
            io, [&] { return i - stats.loggedIn - stats.failed < atOnce; },
            std::chrono::seconds(120)))
      break;
    players.push_back(std::make_shared<Player>(io, stats, endpoints[i % endpoints.size()],
                                               SourceAddress(i), o.prefix + std::to_string(i),
                                               password, started));
    players.back()->Start();
  }
  auto limitSeconds = std::chrono::seconds(o.storm != 0 ? o.storm : 120);
  bool allIn = RunUntil(
      io, [&] { return stats.loggedIn + stats.failed == o.players; }, limitSeconds);
  double loginSeconds = Since(started);
  printf("players %zu on %zu server%s: %zu logged in in %.2f s (%.0f a second)\n", o.players,
         o.servers.size(), o.servers.size() == 1 ? "" : "s", stats.loggedIn, loginSeconds,
         stats.loggedIn / loginSeconds);
  printf(
      "tries that failed: %zu; no connection %zu, told to come back later %zu, no answer "
      "within %lld s %zu, closed before the answer %zu\n",
      stats.retries, stats.refused, stats.busy, static_cast<long long>(kLoginWait.count()),
      stats.timedOut, stats.dropped);
  if (o.storm != 0 && !stats.loginAt.empty()) {
    std::vector<double>& at = stats.loginAt;
    std::sort(at.begin(), at.end());
    auto nth = [&at](double q) { return at[static_cast<size_t>(q * (at.size() - 1))]; };
    printf("storm: first in after %.1f s; half in %.1f s, 90 %% %.1f s, all %.1f s later\n",
           at.front(), nth(0.5) - at.front(), nth(0.9) - at.front(), at.back() - at.front());
  }
  if (!allIn || stats.failed != 0) {
    fprintf(stderr, "load: %zu of %zu players logged in (%zu failed)\n", stats.loggedIn, o.players,
            stats.failed);
    return 1;
  }
  if (o.storm != 0) return 0;
  // Let the servers settle before their memory is read.
  io.run_for(std::chrono::milliseconds(500));
  std::vector<long> rssAfter;
  for (const std::string& pid : o.pids) rssAfter.push_back(RssKiB(pid));

  // Chat: senders take turns, each below the servers' chat rate.
  size_t senders = std::min(o.players, static_cast<size_t>(o.chatRate / kChatPerSender) + 1);
  stats.latencyUs.reserve(o.chats * o.players);
  auto chatStart = Clock::now();
  size_t sent = 0;
  size_t expected = o.chats * o.players;
  auto lastSend = chatStart;
  RunUntil(
      io,
      [&] {
        double due = Since(chatStart) * o.chatRate;
        while (sent < o.chats && sent < due) {
          players[(sent % senders) * (o.players / senders)]->Chat(std::to_string(NowNs()));
          ++sent;
          lastSend = Clock::now();
        }
        return stats.delivered >= expected ||
               (sent == o.chats && Clock::now() - lastSend > std::chrono::seconds(10));
      },
      std::chrono::seconds(600));
  double chatSeconds = Since(chatStart);

  std::vector<uint32_t>& l = stats.latencyUs;
  std::sort(l.begin(), l.end());
  auto at = [&l](double q) {
    return l.empty() ? 0.0 : l[static_cast<size_t>(q * (l.size() - 1))] / 1000.0;
  };
  printf(
      "chat: %zu lines at %.0f a second from %zu senders, %zu of %zu deliveries (%zu lost), %.0f "
      "events a second\n",
      o.chats, o.chatRate, senders, stats.delivered, expected,
      expected - std::min(expected, stats.delivered), stats.delivered / chatSeconds);
  printf("fan-out latency ms: p50 %.2f  p99 %.2f  max %.2f\n", at(0.5), at(0.99), at(1.0));
  for (size_t i = 0; i < o.pids.size(); ++i) {
    printf("server %s: resident %ld KiB before logins, %ld after: %.1f KiB a player\n",
           o.pids[i].c_str(), rssBefore[i], rssAfter[i],
           static_cast<double>(rssAfter[i] - rssBefore[i]) * o.pids.size() / o.players);
  }
  return stats.delivered >= expected ? 0 : 1;
}
