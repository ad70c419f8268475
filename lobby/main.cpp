// rallylobby: the lobby server that meetpoints share (docs/lobby.md).
//
//   rallylobby [--listen HOST:PORT] [--store WHERE] [--cert FILE --key FILE | --plain] ...
//   rallylobby --store WHERE --add-player NAME --password-file FILE [--count N] [--cheap-hash]
#include <sys/resource.h>

#include "net.h"
#include <boost/asio/ssl.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "auth.h"
#include "server.h"
#include "store.h"

namespace {

const char kUsage[] =
    "usage: rallylobby [options]\n"
    "  --listen HOST:PORT   where to listen (default 127.0.0.1:0, a free port)\n"
    "  --port-file FILE     write the port there once listening\n"
    "  --store WHERE        redis://HOST:PORT, or a SQLite file (default rallylobby.db)\n"
    "  --cert FILE --key FILE  TLS certificate chain and private key (PEM)\n"
    "  --plain              plain TCP instead of TLS: only on a loopback address\n"
    "  --name NAME          the server's name in its Welcome (default rallylobby)\n"
    "  --rate N             messages a second per connection (default 50; bursts of 2N)\n"
    "  --voting-flags N     the voting flags of new game instances (default 1)\n"
    "  --quiet              no line per connection, login and refusal\n"
    "accounts:\n"
    "  --add-player NAME --password-file FILE [--count N] [--cheap-hash]\n"
    "                       store the account (with --count, NAME0 .. NAME<N-1>) and end\n";

struct Options {
  std::string listen = "127.0.0.1:0";
  std::string portFile;
  std::string store = "rallylobby.db";
  std::string cert;
  std::string key;
  bool plain = false;
  std::string addPlayer;
  std::string passwordFile;
  unsigned long count = 0;
  bool cheapHash = false;
  lobby::ServerSettings server;
};

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--plain") {
      o->plain = true;
    } else if (option == "--quiet") {
      o->server.quiet = true;
    } else if (option == "--cheap-hash") {
      o->cheapHash = true;
    } else if (i + 1 >= argc) {
      return false;
    } else {
      std::string value = argv[++i];
      if (option == "--listen") {
        o->listen = value;
      } else if (option == "--port-file") {
        o->portFile = value;
      } else if (option == "--store") {
        o->store = value;
      } else if (option == "--cert") {
        o->cert = value;
      } else if (option == "--key") {
        o->key = value;
      } else if (option == "--name") {
        o->server.name = value.substr(0, 64);
      } else if (option == "--rate") {
        o->server.limits.messagesPerSecond = atof(value.c_str());
        o->server.limits.burst = 2 * o->server.limits.messagesPerSecond;
        if (o->server.limits.messagesPerSecond <= 0) return false;
      } else if (option == "--voting-flags") {
        o->server.votingFlags = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
      } else if (option == "--add-player") {
        o->addPlayer = value;
      } else if (option == "--password-file") {
        o->passwordFile = value;
      } else if (option == "--count") {
        o->count = strtoul(value.c_str(), nullptr, 10);
      } else {
        return false;
      }
    }
  }
  return true;
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
    if (!store.AddAccount(name, hash, &error)) {
      fprintf(stderr, "rallylobby: %s\n", error.c_str());
      return 1;
    }
  }
  printf("== stored %lu account%s in %s\n", count, count == 1 ? "" : "s", o.store.c_str());
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

class Acceptor {
 public:
  Acceptor(asio::io_context& io, asio::ip::tcp::endpoint where, asio::ssl::context& tls,
           bool useTls, lobby::Server& server)
      : acceptor_(io, where), tls_(tls), useTls_(useTls), server_(server) {}
  uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  void Accept() {
    acceptor_.async_accept([this](ErrorCode ec, asio::ip::tcp::socket socket) {
      if (!ec) {
        server_.Add(std::make_shared<lobby::Session>(std::move(socket), tls_, useTls_, server_,
                                                     ++ids_, server_.Settings().limits));
      }
      Accept();
    });
  }

 private:
  asio::ip::tcp::acceptor acceptor_;
  asio::ssl::context& tls_;
  bool useTls_;
  lobby::Server& server_;
  uint64_t ids_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (!lobby::AuthStartup()) {
    fprintf(stderr, "rallylobby: libsodium did not start\n");
    return 1;
  }
  std::string error;
  std::unique_ptr<lobby::Store> store = lobby::OpenStore(o.store, &error);
  if (store == nullptr) {
    fprintf(stderr, "rallylobby: %s\n", error.c_str());
    return 1;
  }
  if (!o.addPlayer.empty()) return AddPlayers(o, *store);

  size_t colon = o.listen.rfind(':');
  ErrorCode ec;
  asio::ip::address address = asio::ip::make_address(o.listen.substr(0, colon), ec);
  if (colon == std::string::npos || ec) {
    fprintf(stderr, "rallylobby: --listen wants an address and a port, got %s\n", o.listen.c_str());
    return 2;
  }
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
    tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                    asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                    asio::ssl::context::no_tlsv1_1);
    tls.use_certificate_chain_file(o.cert, ec);
    if (!ec) tls.use_private_key_file(o.key, asio::ssl::context::pem, ec);
    if (ec) {
      fprintf(stderr, "rallylobby: TLS certificate or key: %s\n", ec.message().c_str());
      return 1;
    }
  }
  RaiseFileLimit();
  asio::io_context io(1);
  lobby::Server server(io, *store, o.server);
  std::unique_ptr<Acceptor> acceptor;
  try {
    auto port = static_cast<uint16_t>(atoi(o.listen.c_str() + colon + 1));
    acceptor =
        std::make_unique<Acceptor>(io, asio::ip::tcp::endpoint(address, port), tls, useTls, server);
  } catch (const std::exception& e) {
    fprintf(stderr, "rallylobby: can't listen on %s: %s\n", o.listen.c_str(), e.what());
    return 1;
  }
  acceptor->Accept();
  if (!o.portFile.empty()) {
    std::ofstream file(o.portFile + ".tmp");
    file << acceptor->Port();
    file.close();
    std::rename((o.portFile + ".tmp").c_str(), o.portFile.c_str());
  }
  printf("== rallylobby %s listening on %s port %u (%s), store %s\n", o.server.name.c_str(),
         address.to_string().c_str(), acceptor->Port(), useTls ? "TLS" : "plain TCP",
         o.store.c_str());
  fflush(stdout);
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](ErrorCode, int) { io.stop(); });
  io.run();
  // The store's subscriber thread posts into io: it stops before io and the server go.
  store.reset();
  printf("== rallylobby ends\n");
  return 0;
}
