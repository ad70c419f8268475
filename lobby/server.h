// The lobby's rules: who may do what, what each request changes in the store, and which
// players hear of it. Events go out through the store's bus, so that with a shared store the
// players of every server hear them; each server hands them to its own logged-in players.
//
// Everything here runs on the one event-loop thread. Store calls go to the store's own thread
// (store_queue.h) and password checks to a small pool; their answers come back to the loop.
// Logins pass three gates before their password is checked: the failure limits of their
// address and account, the cap on logins being checked from one address, and the bound of the
// lane of logins being checked (one for players with an account, one for names without). A
// login turned away at the last two gets "busy" with the time to come back, spaced so that
// the logins turned away return at the rate the server checks passwords.
#pragma once

#include "net.h"
#include <boost/asio/ssl.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "admin/counters.h"
#include "log.h"
#include "rate_limits.h"
#include "protocol.h"
#include "session.h"
#include "store.h"
#include "store_queue.h"

namespace lobby {

struct ServerSettings {
  std::string name = "rallylobby";
  LimitSettings limits;
  uint32_t votingFlags = 1;
  Ms storeDeadline{2000};               // for each request that needs the store
  size_t storeQueue = 1000;             // store requests waiting at most
  int64_t pairCooldownSeconds = 86400;  // results between the same two players count once in it
  bool openRegistration = false;        // Register makes accounts; else it is refused
  std::string listen;                   // the address players connect to, for the heartbeat
};

class Server {
 public:
  // useTls false: plain TCP (tls is then unused).
  Server(asio::io_context& io, Store& store, asio::ssl::context& tls, bool useTls,
         ServerSettings settings);
  ~Server();
  // The address players connect to, as the heartbeat tells it.
  void SetListen(const std::string& listen) { settings_.listen = listen; }
  // Starts the heartbeat that tells the servers sharing the store who is online here.
  void Start();
  // Ends the store's thread and the password checks, and takes this server's players off the
  // store's list of who is online; before the store goes.
  void Stop();
  // A new connection: a session, unless its address has too many already.
  void Accept(asio::ip::tcp::socket socket);
  void Remove(Session& session, const std::string& why);
  void Handle(const std::shared_ptr<Session>& session, const Message& message);
  // Every refusal passes here (Session::Refuse) to be logged; quiet: the caller logs it.
  void Refused(const Session& session, const std::string& rule, uint8_t request,
               const std::string& detail, bool fatal, bool quiet);
  const ServerSettings& Settings() const { return settings_; }

  // For the operator: the counts, the figures of the moment, the store's queue, and closing a
  // player's connection on whichever server holds it (rule and detail: the Error it gets).
  const LobbyCounters& Counters() const { return counters_; }
  Snapshot TakeSnapshot() const;
  StoreQueue& Queue() { return storeQueue_; }
  const std::string& Id() const { return id_; }
  static Bytes EndEvent(const std::string& player, const std::string& rule,
                        const std::string& detail);
  // A new password's hash, made on the password threads; done runs on the loop.
  void HashOffLoop(const std::string& password,
                   std::function<void(bool hashed, const std::string& hash)> done);
  // Every frame queued for a player passes here, to be counted.
  void Sent(const Bytes& frame) {
    if (frame.size() > 4) ++counters_.messagesOut[frame[4]];
  }

 private:
  using Then = std::function<void()>;
  // Runs work on the store's thread with the session held; then runs `then` on the loop, or
  // refuses the request with store-unavailable when the store failed or was too late.
  void WithStore(const std::shared_ptr<Session>& session, uint8_t request, StoreQueue::Work work,
                 Then then);
  void Login(const std::shared_ptr<Session>& session, const Message& message);
  void Register(const std::shared_ptr<Session>& session, const Message& message);
  void SignUpRefused(const std::shared_ptr<Session>& session, const std::string& rule,
                     const std::string& detail);
  void HashNewPassword(const std::shared_ptr<Session>& session, const std::string& name,
                       const std::string& password);
  // Lets a player in whose password (or new account) is good: one connection per player, on
  // the store's list of who is online, and its rating.
  void Admit(const std::shared_ptr<Session>& session, const std::string& name, uint8_t request);
  // The per-address and lane caps on password work; false (with the session refused busy)
  // when there is no room.
  bool AddressHasRoom(const std::shared_ptr<Session>& session, const std::string& name,
                      uint8_t request);
  void Beat();
  OnlinePlayer OnlineEntry(const Session& session) const;
  void CheckPassword(const Session& session, const std::string& name, const std::string& password,
                     const std::string& hash);
  void PasswordChecked(const std::shared_ptr<Session>& session, const std::string& name, bool ok,
                       bool known);
  // Logins being checked: a lane for players with an account, and a smaller one for names
  // without (whose checks only hide that, and which a flood needs no account to send), so that
  // a flood of made-up names can't crowd out the players.
  struct Lane {
    uint32_t checking = 0;
    uint32_t capacity = 0;
    Clock::time_point nextSlot{};
  };
  void FromAddress(const std::string& addressKey, int change);
  void LoginDone(const std::shared_ptr<Session>& session, LoginResult result,
                 const std::string& name, uint32_t number = 0, const std::string& detail = "",
                 uint8_t request = kLogin);
  uint32_t RetryAfterMs(Lane& lane, Clock::time_point now);
  void Deliver(const Bytes& event);
  // Logs at most a line a second for the event (those held back are counted).
  void Sampled(const LogEntry& entry);
  static LogEntry Entry(const Session& session, LogLevel level, const std::string& event,
                        const std::string& detail);

  asio::io_context& io_;
  Store& store_;
  asio::ssl::context& tls_;
  bool useTls_;
  ServerSettings settings_;
  std::string dummyHash_;  // checked for unknown players, so that they take as long
  uint64_t nonce_;         // tells this server's kick events from other servers'
  std::string id_;         // this run of the server among those sharing the store
  int64_t started_;        // Unix milliseconds
  asio::steady_timer heartbeat_;
  uint32_t beats_ = 0;
  bool resync_ = true;  // the store's list of who is online here may be wrong: write it whole
  bool stopped_ = false;
  uint64_t ids_ = 0;
  uint32_t highestGiid_ = 0;  // the highest game instance number seen, from any server
  std::map<uint64_t, std::shared_ptr<Session>> sessions_;
  std::multimap<std::string, uint64_t> byName_;
  std::map<std::string, uint32_t> connectionsFrom_;
  // Logins being checked, by address and by lane; the time one check takes, lately.
  std::map<std::string, uint32_t> checkingFrom_;
  Lane known_;
  Lane unknown_;
  std::chrono::duration<double> hashTime_{0.15};
  StrikeCounter addressFailures_;
  StrikeCounter accountFailures_;
  RecentKeys accountAddresses_;  // account and address of each successful login, lately
  KeyedRateLimit signUps_;       // per address
  std::map<std::string, LogSampler> samplers_;
  LobbyCounters counters_;
  // This server's chat lines on their way through the store, by number, with their receipt.
  std::map<uint32_t, Clock::time_point> chatSent_;
  // The last answer to Who: players online on every server, and the first of them by name.
  std::shared_ptr<const std::pair<uint32_t, std::vector<Record>>> online_;
  Clock::time_point onlineAt_;
  uint32_t chatNumber_ = 0;
  StoreQueue storeQueue_;
  asio::thread_pool hashing_;
};

}  // namespace lobby
