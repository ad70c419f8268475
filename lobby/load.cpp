// rallylobby_load: N protocol-level players (load_player.h) against one or more lobby servers
// on loopback, over TLS unless --plain, to measure what the servers can carry. The players may
// be split over several processes (--processes), each a single-threaded loop of its own, so
// that neither one process's descriptor limit nor one core bounds the load; the first process
// coordinates them and adds up what they saw.
//
//   rallylobby_load --servers HOST:PORT[,...] --players N --prefix NAME --password-file FILE
//                   [--plain] [--ca FILE] [--processes K] [--pids PID,...] [--cpu NAME=PID,...]
//                   [--chat-rate R[,R...]] [--chats N | --seconds S] [--stop-above MS]
//                   [--sender-rate R]
//                   [--hold SECONDS] [--logins-at-once N] [--handshakes N] [--storm SECONDS]
//                   [--silent N]
//
// Prints: logins a second (and how the tries that failed failed); with --pids, the servers'
// resident memory per player and CPU per login. Then, for each chat rate in turn: lines and
// deliveries (lost ones counted), events delivered a second, fan-out latency (p50, p99, max)
// and the CPU each process used meanwhile; with --stop-above, the rates stop after the first
// whose p99 passes that many ms (the saturation point). Each chat step also prints one line
// "result KEY=VALUE ..." for scripts. --sender-rate: the lines a second one player sends at
// most (default 1.5, below the servers' default chat rate; runs that look for a server's limit
// raise both).
// --handshakes N: only TLS handshakes, N of them, at most 100 under way in each process:
// handshakes a second. --storm: the players start before the servers listen (a crowd waiting
// for a restart) and have SECONDS to get in; no chat. --silent N: first N connections that
// never say anything; prints how long the servers took to close them all, then logs in.
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include "net.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "latency_histogram.h"
#include "load_player.h"
#include "protocol.h"

namespace {

using asio::ip::tcp;
using lobby::LoadClock;
using lobby::LoadStats;

const size_t kHandshakesAtOnce = 100;

double Since(LoadClock::time_point start) {
  return std::chrono::duration<double>(LoadClock::now() - start).count();
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

// A number from /proc/PID/status (in KiB) or /proc/meminfo: the value after the label.
long ProcField(const std::string& file, const char* label) {
  std::ifstream status(file);
  std::string line;
  size_t size = strlen(label);
  while (std::getline(status, line)) {
    if (line.compare(0, size, label) == 0) return atol(line.c_str() + size);
  }
  return 0;
}

long RssKiB(const std::string& pid) { return ProcField("/proc/" + pid + "/status", "VmRSS:"); }

// The CPU time a process used, user and system, in seconds.
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

struct Options {
  std::vector<std::string> servers;
  size_t players = 1000;
  std::string prefix = "load";
  std::string passwordFile;
  bool plain = false;
  std::string ca;
  size_t processes = 1;
  size_t chats = 0;                   // lines a step; 0: the rate times --seconds
  double seconds = 5;                 // a chat step's length
  std::vector<double> rates = {100};  // lines a second, over all senders; a step each
  double stopAboveMs = 0;             // stop stepping once p99 passes this; 0: run all steps
  // Chat lines a second that one player sends at most: by default below the servers' default
  // chat rate (2 a second, bursts of 5).
  double senderRate = 1.5;
  std::vector<std::string> pids;
  std::vector<std::pair<std::string, std::string>> cpu;  // other processes to watch: name, pid
  size_t handshakes = 0;
  // Logins under way at once, over all processes: by default as many as a server checks at
  // once (its login lane), so that logins measure the rate it lets players in, not its answers
  // of "busy".
  size_t loginsAtOnce = 16;
  unsigned long storm = 0;  // seconds for a waiting crowd to get in; 0: no storm
  size_t silent = 0;
  double holdSeconds = 0;  // the players stay connected this long after the last step
};

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--plain") {
      o->plain = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (option == "--servers") {
      o->servers = Split(value);
    } else if (option == "--players") {
      o->players = strtoul(value.c_str(), nullptr, 10);
    } else if (option == "--prefix") {
      o->prefix = value;
    } else if (option == "--password-file") {
      o->passwordFile = value;
    } else if (option == "--ca") {
      o->ca = value;
    } else if (option == "--processes") {
      o->processes = std::max<size_t>(1, strtoul(value.c_str(), nullptr, 10));
    } else if (option == "--chats") {
      o->chats = strtoul(value.c_str(), nullptr, 10);
    } else if (option == "--seconds") {
      o->seconds = atof(value.c_str());
    } else if (option == "--chat-rate") {
      o->rates.clear();
      for (const std::string& rate : Split(value)) o->rates.push_back(atof(rate.c_str()));
    } else if (option == "--sender-rate") {
      o->senderRate = atof(value.c_str());
    } else if (option == "--stop-above") {
      o->stopAboveMs = atof(value.c_str());
    } else if (option == "--pids") {
      o->pids = Split(value);
    } else if (option == "--cpu") {
      for (const std::string& named : Split(value)) {
        size_t equals = named.find('=');
        if (equals == std::string::npos) return false;
        o->cpu.emplace_back(named.substr(0, equals), named.substr(equals + 1));
      }
    } else if (option == "--logins-at-once") {
      o->loginsAtOnce = std::max<size_t>(1, strtoul(value.c_str(), nullptr, 10));
    } else if (option == "--handshakes") {
      o->handshakes = strtoul(value.c_str(), nullptr, 10);
    } else if (option == "--storm") {
      o->storm = strtoul(value.c_str(), nullptr, 10);
    } else if (option == "--hold") {
      o->holdSeconds = atof(value.c_str());
    } else if (option == "--silent") {
      o->silent = strtoul(value.c_str(), nullptr, 10);
    } else {
      return false;
    }
  }
  for (double rate : o->rates) {
    if (!(rate >= 0)) return false;
  }
  if (!(o->senderRate > 0)) return false;
  return !o->servers.empty() && o->players > 0 && !o->passwordFile.empty() &&
         o->processes <= std::max(o->players, o->handshakes) && !(o->plain && o->handshakes != 0);
}

// Runs the loop until done() or the time is up; false on time-out.
template <class Done>
bool RunUntil(asio::io_context& io, Done done, std::chrono::duration<double> limit) {
  auto end = LoadClock::now() + std::chrono::duration_cast<LoadClock::duration>(limit);
  while (!done()) {
    if (LoadClock::now() > end) return false;
    // A loop that ran out of work has stopped: it takes new work only after a restart.
    if (io.stopped()) io.restart();
    io.run_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Connections that say nothing: how long the servers take to close them all.
void Silent(const Options& o, const std::vector<tcp::endpoint>& endpoints) {
  asio::io_context io(1);
  std::vector<double> cpuBefore;
  for (const std::string& pid : o.pids) cpuBefore.push_back(CpuSeconds(pid));
  auto start = LoadClock::now();
  size_t closed = 0;
  std::vector<std::shared_ptr<tcp::socket>> sockets;
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

// Between the coordinating process and a worker: whole blocks of bytes through a pipe.
bool WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// What a worker reports after its logins and after each chat step.
struct Report {
  LoadStats stats;
  double seconds = 0;  // logins: until the last was in; a step: until the last delivery
  double sent = 0;     // chat lines this worker sent
  size_t senders = 0;
};

bool SendReport(int fd, const Report& r) {
  const LoadStats& s = r.stats;
  std::vector<uint64_t> words = {s.loggedIn,  s.failed,  s.busy,           s.refused,
                                 s.timedOut,  s.dropped, s.retries,        s.handshakes,
                                 s.delivered, r.senders, s.loginAt.size(), s.refusedLater};
  std::vector<uint64_t> histogram = s.latency.Words();
  double reals[2] = {r.seconds, r.sent};
  return WriteAll(fd, words.data(), words.size() * 8) && WriteAll(fd, reals, sizeof reals) &&
         WriteAll(fd, histogram.data(), histogram.size() * 8) &&
         WriteAll(fd, s.loginAt.data(), s.loginAt.size() * sizeof(double));
}

bool ReceiveReport(int fd, Report* r) {
  uint64_t words[12];
  double reals[2];
  std::vector<uint64_t> histogram(lobby::LatencyHistogram::kBuckets);
  if (!ReadAll(fd, words, sizeof words) || !ReadAll(fd, reals, sizeof reals) ||
      !ReadAll(fd, histogram.data(), histogram.size() * 8))
    return false;
  LoadStats& s = r->stats;
  s.loggedIn = words[0], s.failed = words[1], s.busy = words[2], s.refused = words[3];
  s.timedOut = words[4], s.dropped = words[5], s.retries = words[6], s.handshakes = words[7];
  s.delivered = words[8];
  r->senders = words[9];
  s.refusedLater = words[11];
  r->seconds = reals[0], r->sent = reals[1];
  s.latency = lobby::LatencyHistogram::FromWords(histogram.data(), histogram.size());
  s.loginAt.resize(words[10]);
  return ReadAll(fd, s.loginAt.data(), s.loginAt.size() * sizeof(double));
}

void Add(Report* sum, const Report& part) {
  LoadStats& s = sum->stats;
  const LoadStats& p = part.stats;
  s.loggedIn += p.loggedIn, s.failed += p.failed, s.busy += p.busy, s.refused += p.refused;
  s.timedOut += p.timedOut, s.dropped += p.dropped, s.retries += p.retries;
  s.handshakes += p.handshakes, s.delivered += p.delivered, s.refusedLater += p.refusedLater;
  s.latency.Merge(p.latency);
  s.loginAt.insert(s.loginAt.end(), p.loginAt.begin(), p.loginAt.end());
  sum->seconds = std::max(sum->seconds, part.seconds);
  sum->sent += part.sent;
  sum->senders += part.senders;
}

// A chat step, from the coordinator to every worker; rate 0 ends the worker.
struct Step {
  int64_t startNs = 0;    // when every worker starts sending (NowNs)
  double rate = 0;        // this worker's lines a second
  uint64_t lines = 0;     // this worker's lines
  uint64_t expected = 0;  // deliveries to this worker's players: every line of every worker
};

// One worker: the players first..first+count-1, logged in, then the coordinator's steps.
class Worker {
 public:
  Worker(const Options& o, SSL_CTX* tls, const std::string& password, size_t first, size_t count)
      : o_(o), tls_(tls), password_(password), first_(first), count_(count) {
    for (const std::string& server : o.servers) {
      size_t colon = server.rfind(':');
      endpoints_.emplace_back(asio::ip::make_address(server.substr(0, colon)),
                              static_cast<uint16_t>(atoi(server.c_str() + colon + 1)));
    }
  }

  Report Handshakes() {
    LoadStats stats;
    std::vector<std::shared_ptr<lobby::LoadPlayer>> players;
    auto started = LoadClock::now();
    size_t done = 0;
    auto finished = [&] {
      done = 0;
      for (const auto& player : players) done += player->Done() ? 1 : 0;
      return done;
    };
    for (size_t i = 0; i < count_; ++i) {
      if (!RunUntil(
              io_, [&] { return i - stats.handshakes - stats.failed < kHandshakesAtOnce; },
              std::chrono::seconds(120)))
        break;
      players.push_back(std::make_shared<lobby::LoadPlayer>(io_, stats, Endpoint(first_ + i),
                                                            SourceAddress(first_ + i), tls_, "", "",
                                                            started, true));
      players.back()->Start();
    }
    RunUntil(
        io_, [&] { return finished() == count_; }, std::chrono::seconds(120));
    Report report;
    report.seconds = Since(started);
    report.stats = stats;
    return report;
  }

  Report Logins() {
    size_t atOnce = o_.storm != 0 ? count_ : std::max<size_t>(1, o_.loginsAtOnce / o_.processes);
    auto started = LoadClock::now();
    for (size_t i = 0; i < count_; ++i) {
      if (!RunUntil(
              io_, [&] { return i - stats_.loggedIn - stats_.failed < atOnce; },
              std::chrono::seconds(120)))
        break;
      size_t n = first_ + i;
      players_.push_back(
          std::make_shared<lobby::LoadPlayer>(io_, stats_, Endpoint(n), SourceAddress(n), tls_,
                                              o_.prefix + std::to_string(n), password_, started));
      players_.back()->Start();
    }
    auto limit = std::chrono::seconds(o_.storm != 0 ? o_.storm : 300);
    RunUntil(
        io_, [&] { return stats_.loggedIn + stats_.failed == count_; }, limit);
    Report report;
    report.stats = stats_;
    report.seconds = Since(started);
    return report;
  }

  // Sends this worker's share of a step's lines, spread over senders below the chat rate, and
  // waits for every line of every worker to reach its players.
  // Deliveries count from the end of the step before, so that lines of other workers that
  // come before this one starts are not missed.
  Report Chat(const Step& step) {
    Report report;
    size_t senders = std::min(
        count_, static_cast<size_t>(std::ceil(step.rate / o_.senderRate)) + (step.rate > 0));
    auto start = LoadClock::time_point(std::chrono::nanoseconds(step.startNs));
    while (LoadClock::now() < start) io_.run_for(start - LoadClock::now());
    auto lastSend = start;
    auto lastDelivery = start;
    uint64_t sent = 0;
    uint64_t seen = 0;
    RunUntil(
        io_,
        [&] {
          double due = Since(start) * step.rate;
          while (sent < step.lines && static_cast<double>(sent) < due) {
            players_[(sent % senders) * (count_ / senders)]->Chat();
            ++sent;
            lastSend = LoadClock::now();
          }
          if (stats_.delivered != seen) {
            seen = stats_.delivered;
            lastDelivery = LoadClock::now();
          }
          return stats_.delivered >= step.expected ||
                 (sent == step.lines &&
                  LoadClock::now() - std::max(lastSend, lastDelivery) > std::chrono::seconds(10));
        },
        std::chrono::seconds(900));
    report.stats.delivered = stats_.delivered;
    report.stats.refusedLater = stats_.refusedLater;
    report.stats.latency = stats_.latency;
    report.seconds = std::chrono::duration<double>(lastDelivery - start).count();
    report.sent = static_cast<double>(sent);
    report.senders = step.lines > 0 ? senders : 0;
    stats_.delivered = 0;
    stats_.refusedLater = 0;
    stats_.latency = lobby::LatencyHistogram();
    return report;
  }

  // Keeps the connections served (reads, pings none) for a while, between steps.
  void Idle(std::chrono::milliseconds time) { io_.run_for(time); }

 private:
  tcp::endpoint Endpoint(size_t n) const { return endpoints_[n % endpoints_.size()]; }

  const Options& o_;
  SSL_CTX* tls_;
  std::string password_;
  size_t first_;
  size_t count_;
  asio::io_context io_{1};
  std::vector<tcp::endpoint> endpoints_;
  LoadStats stats_;
  std::vector<std::shared_ptr<lobby::LoadPlayer>> players_;
};

// A worker process: reports its logins, then runs steps until told to stop.
int WorkerMain(const Options& o, SSL_CTX* tls, const std::string& password, size_t index,
               int commands, int reports) {
  size_t total = o.handshakes != 0 ? o.handshakes : o.players;
  size_t first = total * index / o.processes;
  Worker worker(o, tls, password, first, total * (index + 1) / o.processes - first);
  if (o.handshakes != 0) return SendReport(reports, worker.Handshakes()) ? 0 : 1;
  if (!SendReport(reports, worker.Logins())) return 1;
  for (;;) {
    // Serve the connections until the coordinator's next word.
    fd_set ready;
    timeval none{0, 0};
    FD_ZERO(&ready);
    FD_SET(commands, &ready);
    if (select(commands + 1, &ready, nullptr, nullptr, &none) == 0) {
      worker.Idle(std::chrono::milliseconds(20));
      continue;
    }
    Step step;
    if (!ReadAll(commands, &step, sizeof step) || step.rate <= 0) return 0;
    if (!SendReport(reports, worker.Chat(step))) return 1;
  }
}

struct Process {
  pid_t pid = 0;
  int commands = -1;
  int reports = -1;
};

// CPU seconds of every watched process: the servers, the named ones, the workers.
struct CpuWatch {
  std::vector<std::pair<std::string, std::string>> named;
  std::vector<double> before;
  LoadClock::time_point start;

  void Begin() {
    before.clear();
    for (const auto& process : named) before.push_back(CpuSeconds(process.second));
    start = LoadClock::now();
  }
  // "server 1234 85 %, load 60 %, ..." over the time since Begin; workers added up as "load".
  std::string Text(size_t workers) const {
    double seconds = Since(start);
    std::string text;
    double load = 0;
    char part[96];
    for (size_t i = 0; i < named.size(); ++i) {
      double share = 100 * (CpuSeconds(named[i].second) - before[i]) / seconds;
      if (i >= named.size() - workers) {
        load += share;
        continue;
      }
      snprintf(part, sizeof part, "%s%s %.0f %%", text.empty() ? "" : ", ", named[i].first.c_str(),
               share);
      text += part;
    }
    snprintf(part, sizeof part, "%sload tool (%zu process%s) %.0f %%", text.empty() ? "" : ", ",
             workers, workers == 1 ? "" : "es", load);
    return text + part;
  }
};

SSL_CTX* ClientContext(const Options& o) {
  if (o.plain) return nullptr;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (!o.ca.empty()) {
    // Checked as meetpoint checks it: against the CA and the host name.
    if (SSL_CTX_load_verify_locations(context, o.ca.c_str(), nullptr) != 1) {
      fprintf(stderr, "load: can't read the CA %s\n", o.ca.c_str());
      exit(1);
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  }
  return context;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    fputs(
        "usage: rallylobby_load --servers HOST:PORT[,...] --players N --prefix NAME\n"
        "         --password-file FILE [--plain] [--ca FILE] [--processes K]\n"
        "         [--pids PID,...] [--cpu NAME=PID,...] [--chat-rate R[,R...]]\n"
        "         [--chats N | --seconds S] [--stop-above MS] [--sender-rate R]\n"
        "         [--hold SECONDS] [--logins-at-once N] [--handshakes N] [--storm SECONDS] "
        "[--silent N]\n",
        stderr);
    return 2;
  }
  // A worker that has finished its part (after handshakes) has closed its end of the command
  // pipe: the stop word to it must fail, not end the coordinator.
  signal(SIGPIPE, SIG_IGN);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::ifstream file(o.passwordFile);
  std::string password;
  std::getline(file, password);
  SSL_CTX* tls = ClientContext(o);
  std::string kind = o.plain ? "plain TCP" : "TLS";

  if (o.silent != 0) {
    std::vector<tcp::endpoint> endpoints;
    for (const std::string& server : o.servers) {
      size_t colon = server.rfind(':');
      endpoints.emplace_back(asio::ip::make_address(server.substr(0, colon)),
                             static_cast<uint16_t>(atoi(server.c_str() + colon + 1)));
    }
    Silent(o, endpoints);
  }

  std::vector<Process> workers;
  for (size_t i = 0; i < o.processes; ++i) {
    int down[2];
    int up[2];
    if (pipe(down) != 0 || pipe(up) != 0) {
      perror("load: pipe");
      return 1;
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      close(down[1]);
      close(up[0]);
      for (const Process& other : workers) close(other.commands), close(other.reports);
      _exit(WorkerMain(o, tls, password, i, down[0], up[1]));
    }
    close(down[0]);
    close(up[1]);
    workers.push_back({pid, down[1], up[0]});
  }
  CpuWatch cpu;
  for (const std::string& pid : o.pids) cpu.named.emplace_back("server " + pid, pid);
  cpu.named.insert(cpu.named.end(), o.cpu.begin(), o.cpu.end());
  for (const Process& worker : workers) cpu.named.emplace_back("load", std::to_string(worker.pid));
  auto gather = [&workers](Report* sum) {
    for (const Process& worker : workers) {
      Report part;
      if (!ReceiveReport(worker.reports, &part)) return false;
      Add(sum, part);
    }
    return true;
  };
  auto finish = [&workers](int status) {
    Step stop;
    for (const Process& worker : workers) {
      WriteAll(worker.commands, &stop, sizeof stop);
      close(worker.commands);
    }
    for (const Process& worker : workers) waitpid(worker.pid, nullptr, 0);
    return status;
  };

  if (o.handshakes != 0) {
    cpu.Begin();
    Report shaken;
    if (!gather(&shaken)) return finish(1);
    printf("TLS handshakes: %llu of %zu in %.2f s (%.0f a second); %s\n",
           static_cast<unsigned long long>(shaken.stats.handshakes), o.handshakes, shaken.seconds,
           static_cast<double>(shaken.stats.handshakes) / shaken.seconds,
           cpu.Text(workers.size()).c_str());
    printf("result handshakes=%llu per_second=%.1f\n",
           static_cast<unsigned long long>(shaken.stats.handshakes),
           static_cast<double>(shaken.stats.handshakes) / shaken.seconds);
    return finish(shaken.stats.handshakes == o.handshakes ? 0 : 1);
  }

  std::vector<long> rssBefore;
  for (const std::string& pid : o.pids) rssBefore.push_back(RssKiB(pid));
  long slabBefore = ProcField("/proc/meminfo", "Slab:");
  cpu.Begin();
  Report logins;
  if (!gather(&logins)) return finish(1);
  LoadStats& l = logins.stats;
  printf(
      "players %zu (%s) on %zu server%s from %zu process%s: %llu logged in in %.2f s (%.0f a "
      "second)\n",
      o.players, kind.c_str(), o.servers.size(), o.servers.size() == 1 ? "" : "s", o.processes,
      o.processes == 1 ? "" : "es", static_cast<unsigned long long>(l.loggedIn), logins.seconds,
      static_cast<double>(l.loggedIn) / logins.seconds);
  printf(
      "tries that failed: %llu; no connection %llu, told to come back later %llu, no answer "
      "within 12 s %llu, closed before the answer %llu\n",
      static_cast<unsigned long long>(l.retries), static_cast<unsigned long long>(l.refused),
      static_cast<unsigned long long>(l.busy), static_cast<unsigned long long>(l.timedOut),
      static_cast<unsigned long long>(l.dropped));
  printf("CPU during the logins: %s\n", cpu.Text(workers.size()).c_str());
  for (size_t i = 0; i < o.pids.size(); ++i) {
    printf("server %s: %.2f ms of CPU a login\n", o.pids[i].c_str(),
           1000 * (CpuSeconds(o.pids[i]) - cpu.before[i]) * static_cast<double>(o.pids.size()) /
               static_cast<double>(std::max<uint64_t>(1, l.loggedIn)));
  }
  if (o.storm != 0 && !l.loginAt.empty()) {
    std::vector<double>& at = l.loginAt;
    std::sort(at.begin(), at.end());
    auto nth = [&at](double q) { return at[static_cast<size_t>(q * (at.size() - 1))]; };
    printf("storm: first in after %.1f s; half in %.1f s, 90 %% %.1f s, all %.1f s later\n",
           at.front(), nth(0.5) - at.front(), nth(0.9) - at.front(), at.back() - at.front());
  }
  if (l.loggedIn != o.players) {
    fprintf(stderr, "load: %llu of %zu players logged in (%llu failed)\n",
            static_cast<unsigned long long>(l.loggedIn), o.players,
            static_cast<unsigned long long>(l.failed));
    return finish(1);
  }
  if (o.storm != 0) return finish(0);
  // Let the servers settle before their memory is read.
  usleep(1000 * 1000);
  long slabAfter = ProcField("/proc/meminfo", "Slab:");
  for (size_t i = 0; i < o.pids.size(); ++i) {
    long after = RssKiB(o.pids[i]);
    double each = static_cast<double>(after - rssBefore[i]) * static_cast<double>(o.pids.size()) /
                  static_cast<double>(o.players);
    printf("server %s: resident %ld KiB before the logins, %ld after: %.1f KiB a player\n",
           o.pids[i].c_str(), rssBefore[i], after, each);
    printf("result memory_kib_per_player=%.2f resident_kib=%ld\n", each, after);
  }
  printf("kernel slab: %+.1f MiB (%.1f KiB a connection, both ends on this machine)\n",
         static_cast<double>(slabAfter - slabBefore) / 1024,
         static_cast<double>(slabAfter - slabBefore) / static_cast<double>(o.players));

  // The steps: each rate in turn; with --stop-above, once a rate's p99 passes the bound, rates
  // a twentieth apart between the last one below it and that one, to find where it passes.
  bool lost = false;
  std::vector<double> rates = o.rates;
  double below = 0;  // the highest rate whose p99 stayed below the bound, and its events
  double belowEvents = 0;
  double over = 0;  // the lowest rate whose p99 passed it, and its events
  double overEvents = 0;
  bool refining = false;
  for (size_t next = 0; next < rates.size(); ++next) {
    double rate = rates[next];
    if (rate <= 0) continue;
    uint64_t lines = o.chats != 0 ? o.chats : static_cast<uint64_t>(std::llround(rate * o.seconds));
    cpu.Begin();
    int64_t startNs = lobby::NowNs() + 50 * 1000 * 1000;
    for (size_t i = 0; i < workers.size(); ++i) {
      Step step;
      step.startNs = startNs;
      uint64_t share = lines * (i + 1) / workers.size() - lines * i / workers.size();
      step.rate = rate * static_cast<double>(share) / static_cast<double>(lines);
      step.lines = share;
      size_t players = o.players * (i + 1) / o.processes - o.players * i / o.processes;
      step.expected = lines * players;
      if (!WriteAll(workers[i].commands, &step, sizeof step)) return finish(1);
    }
    Report step;
    if (!gather(&step)) return finish(1);
    uint64_t expected = lines * o.players;
    const lobby::LatencyHistogram& h = step.stats.latency;
    uint64_t missing = expected - std::min(expected, step.stats.delivered);
    double events = static_cast<double>(step.stats.delivered) / std::max(step.seconds, 1e-3);
    double p99 = h.Quantile(0.99) / 1000;
    printf(
        "chat: %llu lines at %.0f a second from %zu senders, %llu of %llu deliveries (%llu "
        "lost, %llu lines refused), %.0f events a second\n",
        static_cast<unsigned long long>(lines), rate, step.senders,
        static_cast<unsigned long long>(step.stats.delivered),
        static_cast<unsigned long long>(expected), static_cast<unsigned long long>(missing),
        static_cast<unsigned long long>(step.stats.refusedLater), events);
    printf("fan-out latency ms: p50 %.2f  p99 %.2f  max %.2f; CPU %s\n", h.Quantile(0.5) / 1000,
           p99, h.Max() / 1000, cpu.Text(workers.size()).c_str());
    printf(
        "result rate=%.0f offered=%.0f events=%.0f lost=%llu p50_ms=%.3f p99_ms=%.3f "
        "max_ms=%.3f\n",
        rate, rate * static_cast<double>(o.players), events,
        static_cast<unsigned long long>(missing), h.Quantile(0.5) / 1000, p99, h.Max() / 1000);
    fflush(stdout);
    lost = lost || missing != 0;
    if (o.stopAboveMs <= 0) continue;
    if (p99 <= o.stopAboveMs) {
      below = rate;
      belowEvents = events;
      continue;
    }
    over = rate;
    overEvents = events;
    if (!refining && below > 0) {
      refining = true;
      rates.resize(next + 1);
      for (double finer = below * 1.05; finer < rate * 0.99; finer *= 1.05) rates.push_back(finer);
      if (rates.size() > next + 1) continue;
    }
    break;
  }
  if (over > 0) {
    printf(
        "saturated: p99 passed %.0f ms at %.0f lines a second (%.0f events a second "
        "delivered); it stayed below up to %.0f lines a second (%.0f events a second)\n",
        o.stopAboveMs, over, overEvents, below, belowEvents);
    printf("result saturation_rate=%.0f saturation_events=%.0f over_rate=%.0f over_events=%.0f\n",
           below, belowEvents, over, overEvents);
  }
  if (o.holdSeconds > 0) {
    printf("holding the connections for %.0f s\n", o.holdSeconds);
    fflush(stdout);
    usleep(static_cast<useconds_t>(o.holdSeconds * 1e6));
  }
  return finish(lost && o.stopAboveMs == 0 ? 1 : 0);
}
