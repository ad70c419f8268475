// rallylobby_load: N protocol-level players against one or more lobby servers (plain TCP on
// loopback), to measure what the servers can carry. Every player logs in; a few of them then
// chat at a steady total rate, each line stamped with the time it was sent, and every player
// notes when each line reaches it.
//
//   rallylobby_load --servers HOST:PORT[,...] --players N --prefix NAME --password-file FILE
//                   [--chats N] [--chat-rate PER_SECOND] [--pids PID,...]
//
// Prints: logins a second, chat lines delivered and lost, fan-out latency (p50, p99, max),
// events delivered a second, and with --pids the servers' resident memory per player.
#include <sys/resource.h>

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

namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
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

// Resident memory of a process in KiB, from /proc.
long RssKiB(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
  }
  return 0;
}

struct Stats {
  size_t loggedIn = 0;
  size_t failed = 0;
  size_t delivered = 0;
  std::vector<uint32_t> latencyUs;
};

class Player : public std::enable_shared_from_this<Player> {
 public:
  Player(asio::io_context& io, Stats& stats) : socket_(io), stats_(stats) {}

  void Start(const tcp::endpoint& server, const std::string& name, const std::string& password) {
    auto self = shared_from_this();
    socket_.async_connect(server, [self, name, password](ErrorCode ec) {
      if (ec) return self->Fail("connect: " + ec.message());
      self->socket_.set_option(tcp::no_delay(true), ec);
      self->Send(
          lobby::Message(lobby::kHello).Num(lobby::kMagic).Num(lobby::kVersion).Text("load"));
      self->Send(lobby::Message(lobby::kLogin).Text(name).Text(password));
      self->Read();
    });
  }

  void Chat(const std::string& text) { Send(lobby::Message(lobby::kChat).Text(text)); }
  bool In() const { return in_; }

 private:
  void Fail(const std::string& why) {
    if (!failed_ && ++stats_.failed <= 5)
      fprintf(stderr, "load: a player failed: %s\n", why.c_str());
    failed_ = true;
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
    asio::async_write(socket_, asio::buffer(out_), [self](ErrorCode ec, size_t) {
      self->writing_ = false;
      if (ec) return self->Fail("send: " + ec.message());
      self->Write();
    });
  }

  void Read() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(buffer_), [self](ErrorCode ec, size_t size) {
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
        if (m.type == lobby::kLoggedIn) {
          self->in_ = true;
          ++self->stats_.loggedIn;
        } else if (m.type == lobby::kChatLine) {
          ++self->stats_.delivered;
          int64_t sent = atoll(m.text(1).c_str());
          self->stats_.latencyUs.push_back(static_cast<uint32_t>((now - sent) / 1000));
        } else if (m.type == lobby::kError) {
          self->Fail("refused: " + m.text(0) + ": " + m.text(2));
        }
      }
      self->Read();
    });
  }

  tcp::socket socket_;
  Stats& stats_;
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
    io.run_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    fputs(
        "usage: rallylobby_load --servers HOST:PORT[,...] --players N --prefix NAME\n"
        "                       --password-file FILE [--chats N] [--chat-rate N] [--pids "
        "PID,...]\n",
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
  std::vector<long> rssBefore;
  for (const std::string& pid : o.pids) rssBefore.push_back(RssKiB(pid));

  // Logins, at most 200 under way at once so that no listen queue overflows.
  Stats stats;
  std::vector<std::shared_ptr<Player>> players;
  auto started = Clock::now();
  for (size_t i = 0; i < o.players; ++i) {
    if (!RunUntil(
            io, [&] { return i - stats.loggedIn - stats.failed < 200; }, std::chrono::seconds(60)))
      break;
    players.push_back(std::make_shared<Player>(io, stats));
    players.back()->Start(endpoints[i % endpoints.size()], o.prefix + std::to_string(i), password);
  }
  bool allIn = RunUntil(
      io, [&] { return stats.loggedIn + stats.failed == o.players; }, std::chrono::seconds(60));
  double loginSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (!allIn || stats.failed != 0) {
    fprintf(stderr, "load: %zu of %zu players logged in (%zu failed)\n", stats.loggedIn, o.players,
            stats.failed);
    return 1;
  }
  // Let the servers settle before their memory is read.
  io.run_for(std::chrono::milliseconds(500));
  std::vector<long> rssAfter;
  for (const std::string& pid : o.pids) rssAfter.push_back(RssKiB(pid));

  // Chat: senders take turns, each below the servers' per-connection rate of 50 a second.
  size_t senders = std::min(o.players, static_cast<size_t>(o.chatRate / 40) + 1);
  stats.latencyUs.reserve(o.chats * o.players);
  auto chatStart = Clock::now();
  size_t sent = 0;
  size_t expected = o.chats * o.players;
  auto lastSend = chatStart;
  RunUntil(
      io,
      [&] {
        double due = std::chrono::duration<double>(Clock::now() - chatStart).count() * o.chatRate;
        while (sent < o.chats && sent < due) {
          players[(sent % senders) * (o.players / senders)]->Chat(std::to_string(NowNs()));
          ++sent;
          lastSend = Clock::now();
        }
        return stats.delivered >= expected ||
               (sent == o.chats && Clock::now() - lastSend > std::chrono::seconds(10));
      },
      std::chrono::seconds(600));
  double chatSeconds = std::chrono::duration<double>(Clock::now() - chatStart).count();

  std::vector<uint32_t>& l = stats.latencyUs;
  std::sort(l.begin(), l.end());
  auto at = [&l](double q) {
    return l.empty() ? 0.0 : l[static_cast<size_t>(q * (l.size() - 1))] / 1000.0;
  };
  printf("players %zu on %zu server%s: logged in in %.2f s (%.0f a second)\n", o.players,
         o.servers.size(), o.servers.size() == 1 ? "" : "s", loginSeconds,
         o.players / loginSeconds);
  printf(
      "chat: %zu lines at %.0f a second, %zu of %zu deliveries (%zu lost), %.0f events a second\n",
      o.chats, o.chatRate, stats.delivered, expected,
      expected - std::min(expected, stats.delivered), stats.delivered / chatSeconds);
  printf("fan-out latency ms: p50 %.2f  p99 %.2f  max %.2f\n", at(0.5), at(0.99), at(1.0));
  for (size_t i = 0; i < o.pids.size(); ++i) {
    printf("server %s: resident %ld KiB before logins, %ld after: %.1f KiB a player\n",
           o.pids[i].c_str(), rssBefore[i], rssAfter[i],
           static_cast<double>(rssAfter[i] - rssBefore[i]) * o.pids.size() / o.players);
  }
  return stats.delivered >= expected ? 0 : 1;
}
