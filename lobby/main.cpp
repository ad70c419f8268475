// rallylobby: the lobby server that meetpoints share (docs/lobby.md).
//
//   rallylobby [--listen HOST:PORT] [--store WHERE] [--cert FILE --key FILE | --plain] ...
//   rallylobby --store WHERE --add-player NAME --password-file FILE [--count N] [--cheap-hash]
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "net.h"
#include <boost/asio/ssl.hpp>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "acceptor.h"
#include "admin/api.h"
#include "admin/http_listener.h"
#include "auth.h"
#include "log.h"
#include "rallylink_version.h"
#include "server.h"
#include "store.h"
#include "tls_profile.h"

namespace {

const char kUsage[] =
    "usage: rallylobby [options]\n"
    "  --listen HOST:PORT   where to listen (default 127.0.0.1:0, a free port)\n"
    "  --port-file FILE     write the port there once listening\n"
    "  --store WHERE        redis://HOST:PORT, or a SQLite file (default rallylobby.db)\n"
    "  --store-volatile     allow a Redis that keeps nothing over a restart (tests, load runs)\n"
    "  --cert FILE --key FILE  TLS certificate chain and private key (PEM)\n"
    "  --plain              plain TCP instead of TLS: only on a loopback address\n"
    "  --name NAME          the server's name in its Welcome (default rallylobby)\n"
    "  --voting-flags N     the voting flags of new game instances (default 1)\n"
    "  --quiet              log warnings and errors only\n"
    "  --log-format F       text (the default) or json: one JSON object a line\n"
    "  --open-registration  players may make their own accounts (Register)\n"
    "  --help, --version    print this, or the version, and end\n"
    "the operator's side (off by default):\n"
    "  --admin HOST:PORT    metrics, health, the JSON API and the console page there\n"
    "  --admin-token-file FILE  the bearer token of the API (its first line, 16 characters\n"
    "                       or more)\n"
    "  --admin-cert FILE --admin-key FILE  TLS for it; without them only on loopback\n"
    "limits (0 turns a cap or limit off):\n"
    "  --rate N             messages a second per connection (default 50; bursts of 2N)\n"
    "  --chat-rate N        chat lines a second per connection (default 2)\n"
    "  --chat-burst N       chat lines at once after a quiet spell (default 5)\n"
    "  --connections-per-address N  open connections from one address (default 16)\n"
    "  --logins-per-address N  logins being checked at once from one address (default 2)\n"
    "  --address-failures N  failed logins from one address in 10 minutes before each\n"
    "                       further one waits, 1 s doubling to 15 min (default 10)\n"
    "  --account-failures N  the same for one player, 1 s doubling to 60 s (default 5)\n"
    "  --login-queue N      logins being checked at once for players with an account\n"
    "                       (default 16; a quarter as many for unknown names)\n"
    "  --hash-threads N     password checks at once (default 2)\n"
    "  --register-per-hour N  new accounts an hour from one address (default 3)\n"
    "  --register-burst N   new accounts at once from one address (default 3)\n"
    "  --handshake-within MS  the TLS handshake, from connecting (default 5000)\n"
    "  --login-within MS    a successful login, from connecting (default 10000)\n"
    "  --store-deadline MS  for each request that needs the store (default 2000)\n"
    "  --pair-cooldown S    results between the same two players move their ratings once\n"
    "                       in S seconds (default 86400)\n"
    "accounts:\n"
    "  --add-player NAME --password-file FILE [--count N] [--cheap-hash]\n"
    "                       store the account (with --count, NAME0 .. NAME<N-1>) and end\n";

const char kDefaultStore[] = "rallylobby.db";

struct Options {
  std::string listen = "127.0.0.1:0";
  std::string portFile;
  std::string store;
  bool storeVolatile = false;
  std::string cert;
  std::string key;
  bool plain = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
  std::string logFormat = "text";
  std::string admin;
  std::string adminTokenFile;
  std::string adminCert;
  std::string adminKey;
  std::string addPlayer;
  std::string passwordFile;
  unsigned long count = 0;
  bool cheapHash = false;
  lobby::ServerSettings server;
};

bool Number(const std::string& text, unsigned long max, unsigned long* value) {
  char* end = nullptr;
  unsigned long number = strtoul(text.c_str(), &end, 10);
  if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || number > max) return false;
  *value = number;
  return true;
}

bool Parse(int argc, char** argv, Options* o) {
  lobby::LimitSettings& l = o->server.limits;
  const std::map<std::string, bool*> flags = {{"--plain", &o->plain},
                                              {"--quiet", &o->quiet},
                                              {"--cheap-hash", &o->cheapHash},
                                              {"--store-volatile", &o->storeVolatile},
                                              {"--open-registration", &o->server.openRegistration},
                                              {"--help", &o->help},
                                              {"--version", &o->version}};
  // Options with a number: each sets its setting from a value of at most the bound.
  using Set = std::function<void(unsigned long)>;
  const std::map<std::string, std::pair<unsigned long, Set>> numbers = {
      {"--rate", {100000, [&l](unsigned long n) { l.messagesPerSecond = n, l.burst = 2.0 * n; }}},
      {"--chat-rate", {1000, [&l](unsigned long n) { l.chatPerSecond = n; }}},
      {"--chat-burst", {1000, [&l](unsigned long n) { l.chatBurst = n; }}},
      {"--connections-per-address",
       {1000000, [&l](unsigned long n) { l.connectionsPerAddress = n; }}},
      {"--logins-per-address", {1000000, [&l](unsigned long n) { l.loginsPerAddress = n; }}},
      {"--address-failures", {1000000, [&l](unsigned long n) { l.addressFailures.free = n; }}},
      {"--account-failures", {1000000, [&l](unsigned long n) { l.accountFailures.free = n; }}},
      {"--login-queue", {1000000, [&l](unsigned long n) { l.loginQueue = n; }}},
      {"--hash-threads", {64, [&l](unsigned long n) { l.hashThreads = n; }}},
      {"--register-per-hour", {1000000, [&l](unsigned long n) { l.signUpsPerHour = n; }}},
      {"--register-burst", {1000000, [&l](unsigned long n) { l.signUpBurst = n; }}},
      {"--handshake-within",
       {3600000, [&l](unsigned long n) { l.handshakeWithin = lobby::Ms(n); }}},
      {"--login-within", {3600000, [&l](unsigned long n) { l.loginWithin = lobby::Ms(n); }}},
      {"--store-deadline",
       {3600000, [o](unsigned long n) { o->server.storeDeadline = lobby::Ms(n); }}},
      {"--pair-cooldown",
       {LONG_MAX,
        [o](unsigned long n) { o->server.pairCooldownSeconds = static_cast<int64_t>(n); }}},
      {"--voting-flags",
       {0xFFFFFFFFul, [o](unsigned long n) { o->server.votingFlags = static_cast<uint32_t>(n); }}},
      {"--count", {1000000, [o](unsigned long n) { o->count = n; }}},
  };
  const std::map<std::string, std::string*> texts = {{"--listen", &o->listen},
                                                     {"--port-file", &o->portFile},
                                                     {"--store", &o->store},
                                                     {"--cert", &o->cert},
                                                     {"--key", &o->key},
                                                     {"--name", &o->server.name},
                                                     {"--add-player", &o->addPlayer},
                                                     {"--log-format", &o->logFormat},
                                                     {"--admin", &o->admin},
                                                     {"--admin-token-file", &o->adminTokenFile},
                                                     {"--admin-cert", &o->adminCert},
                                                     {"--admin-key", &o->adminKey},
                                                     {"--password-file", &o->passwordFile}};
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    auto flag = flags.find(option);
    if (flag != flags.end()) {
      *flag->second = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    auto text = texts.find(option);
    auto number = numbers.find(option);
    unsigned long n = 0;
    if (text != texts.end()) {
      *text->second = value;
    } else if (number != numbers.end() && Number(value, number->second.first, &n)) {
      number->second.second(n);
    } else {
      return false;
    }
  }
  o->server.name = o->server.name.substr(0, 64);
  return (o->logFormat == "text" || o->logFormat == "json") &&
         o->server.limits.messagesPerSecond > 0 && o->server.limits.chatPerSecond > 0 &&
         o->server.limits.chatBurst >= 1 && o->server.limits.loginQueue > 0 &&
         o->server.limits.hashThreads > 0 && o->server.limits.signUpBurst >= 1;
}

int AddPlayers(const Options& o, lobby::Store& store) {
  std::string password;
  std::string hash;
  std::string error;
  if (o.passwordFile.empty() || !lobby::ReadPasswordFile(o.passwordFile, &password, &error)) {
    fprintf(stderr, "rallylobby: %s\n",
            error.empty() ? "--add-player needs --password-file" : error.c_str());
    return 2;
  }
  lobby::HashCost cost = o.cheapHash ? lobby::HashCost::kMinimum : lobby::HashCost::kInteractive;
  if (!lobby::HashPassword(password, cost, &hash)) {
    fprintf(stderr, "rallylobby: hashing the password failed\n");
    return 1;
  }
  // With --count every account gets the same hash: for load tests, whose players share one
  // password anyway.
  unsigned long count = o.count == 0 ? 1 : o.count;
  for (unsigned long i = 0; i < count; ++i) {
    std::string name = o.count == 0 ? o.addPlayer : o.addPlayer + std::to_string(i);
    if (name.empty() || name.size() > 31) {
      fprintf(stderr, "rallylobby: a player name has 1 to 31 characters: %s\n", name.c_str());
      return 2;
    }
    lobby::AddResult result = lobby::AddResult::kAdded;
    if (!store.AddAccount({name, hash}, true, &result, &error)) {
      fprintf(stderr, "rallylobby: %s\n", error.c_str());
      return 1;
    }
    if (result == lobby::AddResult::kTaken) {
      lobby::Account other;
      store.FindAccount(name, &other, &error);
      fprintf(stderr,
              "rallylobby: the account %s exists; names are the same without regard to case\n",
              other.name.c_str());
      return 1;
    }
  }
  printf("== stored %lu account%s in %s\n", count, count == 1 ? "" : "s", o.store.c_str());
  return 0;
}

// An address and port of an option; false (with a line on stderr) when it is not one.
bool Endpoint(const std::string& option, const std::string& text, asio::ip::address* address,
              uint16_t* port) {
  size_t colon = text.rfind(':');
  ErrorCode ec;
  unsigned long number = 0;
  if (colon != std::string::npos) *address = asio::ip::make_address(text.substr(0, colon), ec);
  if (colon == std::string::npos || ec || !Number(text.substr(colon + 1), 65535, &number)) {
    fprintf(stderr, "rallylobby: %s wants an address and a port, got %s\n", option.c_str(),
            text.c_str());
    return false;
  }
  *port = static_cast<uint16_t>(number);
  return true;
}

// TLS as a server, TLS 1.2 or later with the ciphers above; false (said on stderr) when the
// certificate or key can't be used.
bool ServerTls(asio::ssl::context& tls, const std::string& cert, const std::string& key) {
  lobby::UseServerTlsProfile(tls.native_handle());
  ErrorCode ec;
  tls.use_certificate_chain_file(cert, ec);
  if (!ec) tls.use_private_key_file(key, asio::ssl::context::pem, ec);
  if (ec) fprintf(stderr, "rallylobby: TLS certificate or key: %s\n", ec.message().c_str());
  return !ec;
}

// The admin listener's settings, checked before anything starts: a token, and TLS unless it
// listens on loopback only. Returns the exit code for a bad setting, or 0.
int AdminSettings(const Options& o, asio::ip::address* address, uint16_t* port,
                  std::string* token) {
  if (o.admin.empty()) return 0;
  if (!Endpoint("--admin", o.admin, address, port)) return 2;
  if (o.adminTokenFile.empty()) {
    fprintf(stderr, "rallylobby: --admin needs --admin-token-file\n");
    return 2;
  }
  std::string error;
  if (!lobby::ReadPasswordFile(o.adminTokenFile, token, &error)) {
    fprintf(stderr, "rallylobby: %s\n", error.c_str());
    return 1;
  }
  if (token->size() < 16) {
    fprintf(stderr, "rallylobby: the admin token must have 16 characters or more\n");
    return 2;
  }
  if (o.adminCert.empty() != o.adminKey.empty()) {
    fprintf(stderr, "rallylobby: --admin-cert and --admin-key go together\n");
    return 2;
  }
  if (o.adminCert.empty() && !address->is_loopback()) {
    fprintf(stderr,
            "rallylobby: --admin without TLS only on a loopback address; give --admin-cert and "
            "--admin-key\n");
    return 2;
  }
  return 0;
}

// Enough descriptors for thousands of players.
void RaiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The store, checked for persistence; null (with the reason printed) when unusable.
std::unique_ptr<lobby::Store> Open(Options& o) {
  bool given = !o.store.empty();
  if (!given) o.store = kDefaultStore;
  struct stat info {};
  bool existed = stat(o.store.c_str(), &info) == 0;
  std::string error;
  std::unique_ptr<lobby::Store> store = lobby::OpenStore(o.store, &error);
  if (store == nullptr) {
    fprintf(stderr, "rallylobby: %s\n", error.c_str());
    return nullptr;
  }
  if (!given) {
    char* where = realpath(o.store.c_str(), nullptr);
    lobby::Log(existed ? lobby::LogLevel::kInfo : lobby::LogLevel::kWarning, "store",
               std::string("no --store given: ") + (existed ? "using " : "made a new, empty ") +
                   "lobby in " + (where != nullptr ? where : o.store));
    free(where);
  }
  if (!o.storeVolatile && !store->Durable(&error)) {
    fprintf(stderr,
            "rallylobby: %s. Run Redis with appendonly yes (docs/lobby.md), or give "
            "--store-volatile for a lobby that may be lost\n",
            error.c_str());
    return nullptr;
  }
  return store;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (o.help) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (o.version) {
    printf("rallylobby %s, lobby protocol version %u\n", RALLYLINK_VERSION_TEXT, lobby::kVersion);
    return 0;
  }
  if (o.quiet) lobby::SetLogLevel(lobby::LogLevel::kWarning);
  if (o.logFormat == "json") lobby::SetLogFormat(lobby::LogFormat::kJson);
  if (!lobby::AuthStartup()) {
    fprintf(stderr, "rallylobby: libsodium did not start\n");
    return 1;
  }
  std::unique_ptr<lobby::Store> store = Open(o);
  if (store == nullptr) return 1;
  if (!o.addPlayer.empty()) return AddPlayers(o, *store);

  asio::ip::address address;
  uint16_t port = 0;
  if (!Endpoint("--listen", o.listen, &address, &port)) return 2;
  asio::ip::address adminAddress;
  uint16_t adminPort = 0;
  std::string adminToken;
  if (int bad = AdminSettings(o, &adminAddress, &adminPort, &adminToken)) return bad;
  bool useTls = !o.plain;
  if (o.plain && !address.is_loopback()) {
    fprintf(stderr, "rallylobby: --plain only on a loopback address; use --cert and --key\n");
    return 2;
  }
  asio::ssl::context tls(asio::ssl::context::tls_server);
  if (useTls) {
    if (o.cert.empty() || o.key.empty()) {
      fprintf(stderr, "rallylobby: TLS needs --cert and --key (or --plain on loopback)\n");
      return 2;
    }
    if (!ServerTls(tls, o.cert, o.key)) return 1;
  }
  asio::ssl::context adminTls(asio::ssl::context::tls_server);
  if (!o.adminCert.empty() && !ServerTls(adminTls, o.adminCert, o.adminKey)) return 1;
  RaiseFileLimit();
  asio::io_context io(1);
  lobby::Server server(io, *store, tls, useTls, o.server);
  std::unique_ptr<lobby::Acceptor> acceptor;
  try {
    acceptor = std::make_unique<lobby::Acceptor>(
        io, asio::ip::tcp::endpoint(address, static_cast<uint16_t>(port)), server);
  } catch (const std::exception& e) {
    fprintf(stderr, "rallylobby: can't listen on %s: %s\n", o.listen.c_str(), e.what());
    return 1;
  }
  acceptor->Accept();
  server.SetListen(address.to_string() + ":" + std::to_string(acceptor->Port()));
  server.Start();
  std::unique_ptr<lobby::AdminApi> api;
  std::unique_ptr<lobby::HttpListener> admin;
  if (!o.admin.empty()) {
    api = std::make_unique<lobby::AdminApi>(server, adminToken);
    try {
      admin = std::make_unique<lobby::HttpListener>(
          io, asio::ip::tcp::endpoint(adminAddress, adminPort),
          o.adminCert.empty() ? nullptr : &adminTls,
          [&api](const lobby::HttpRequest& request, const asio::ip::address& peer,
                 lobby::Respond respond) { api->Handle(request, peer, std::move(respond)); });
    } catch (const std::exception& e) {
      fprintf(stderr, "rallylobby: can't listen on %s: %s\n", o.admin.c_str(), e.what());
      return 1;
    }
    admin->Accept();
    lobby::Log(lobby::LogLevel::kInfo, "admin-listening",
               "on " + adminAddress.to_string() + " port " + std::to_string(admin->Port()) +
                   (o.adminCert.empty() ? " (plain HTTP, loopback)" : " (HTTPS)"));
    if (!o.portFile.empty()) {
      std::ofstream file(o.portFile + ".admin.tmp");
      file << admin->Port();
      file.close();
      std::rename((o.portFile + ".admin.tmp").c_str(), (o.portFile + ".admin").c_str());
    }
  }
  if (!o.portFile.empty()) {
    std::ofstream file(o.portFile + ".tmp");
    file << acceptor->Port();
    file.close();
    std::rename((o.portFile + ".tmp").c_str(), o.portFile.c_str());
  }
  lobby::Log(lobby::LogLevel::kInfo, "listening",
             o.server.name + " on " + address.to_string() + " port " +
                 std::to_string(acceptor->Port()) + (useTls ? " (TLS)" : " (plain TCP)") +
                 ", store " + o.store);
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](ErrorCode, int) { io.stop(); });
  io.run();
  // The store's threads post into io: they stop before io, the server and the store go.
  server.Stop();
  store.reset();
  lobby::Log(lobby::LogLevel::kInfo, "stopped", o.server.name);
  return 0;
}
