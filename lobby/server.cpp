#include "server.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "address_key.h"
#include "auth.h"
#include "names.h"
#include "retry.h"

namespace lobby {

namespace {

// Events on the bus: a target, then the frame to send. kEnd: the frame is a fatal Error that
// closes the named players' connections (a ban, a kick).
enum : uint8_t { kToAll = 0, kToPlayers = 1, kKick = 2, kEnd = 3 };

// How long a chat line's receipt is remembered for its fan-out time: one that takes longer
// has gone astray (its publish failed).
const std::chrono::seconds kChatForgotten{10};

// How long an answer to Who serves the next ones.
const std::chrono::seconds kOnlineKept{1};

// The longest time a busy login is told to wait.
const Ms kLongestRetry{10000};

Bytes BusEvent(uint8_t target, const std::vector<std::string>& players, const Bytes& frame,
               uint64_t nonce = 0, uint64_t session = 0) {
  Bytes event(1, target);
  PutU32(&event, static_cast<uint32_t>(nonce >> 32));
  PutU32(&event, static_cast<uint32_t>(nonce));
  PutU32(&event, static_cast<uint32_t>(session));
  PutU32(&event, static_cast<uint32_t>(players.size()));
  for (const std::string& player : players) PutText(&event, player);
  event.insert(event.end(), frame.begin(), frame.end());
  return event;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// StartInstance's Invited: player names separated by commas; empty: open to anyone.
std::vector<std::string> InvitedList(const std::string& text) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = std::min(text.find(',', start), text.size());
    if (comma > start) names.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return names;
}

std::string MsText(uint32_t ms) { return std::to_string(ms) + " ms"; }

}  // namespace

Server::Server(asio::io_context& io, Store& store, asio::ssl::context& tls, bool useTls,
               ServerSettings settings)
    : io_(io),
      store_(store),
      tls_(tls),
      useTls_(useTls),
      settings_(std::move(settings)),
      started_(UnixMs()),
      heartbeat_(io),
      addressFailures_(settings_.limits.addressFailures),
      accountFailures_(settings_.limits.accountFailures),
      accountAddresses_(std::chrono::hours(24 * 30), 1u << 16),
      signUps_(settings_.limits.signUpsPerHour / 3600, settings_.limits.signUpBurst),
      storeQueue_(io, store, settings_.storeQueue, settings_.storeDeadline),
      hashing_(std::max<uint32_t>(1, settings_.limits.hashThreads)) {
  std::random_device random;
  nonce_ = (static_cast<uint64_t>(random()) << 32) | random();
  char id[24];
  snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(nonce_));
  id_ = id;
  known_.capacity = settings_.limits.loginQueue;
  unknown_.capacity = std::max<uint32_t>(1, settings_.limits.loginQueue / 4);
  // The dummy hash costs what a real check costs: the first estimate of the time one takes.
  auto start = Clock::now();
  HashPassword("no such player", HashCost::kInteractive, &dummyHash_);
  hashTime_ = Clock::now() - start;
  store_.Subscribe(
      [this](const Bytes& event) { asio::post(io_, [this, event] { Deliver(event); }); });
}

Server::~Server() { Stop(); }

void Server::Start() { Beat(); }

void Server::Stop() {
  storeQueue_.Stop();
  hashing_.join();
  if (stopped_) return;
  stopped_ = true;
  // The store's thread has ended: this one may call the store now.
  std::string error;
  store_.Leave(id_, &error);
}

OnlinePlayer Server::OnlineEntry(const Session& session) const {
  return {session.player, id_, session.Address(), session.loggedInAt};
}

// Every beat tells the store this server lives and how many players it has; now and then, and
// after a write about who is online may have been lost, it writes the whole list.
void Server::Beat() {
  ServerInfo info{id_,      settings_.name, settings_.listen, static_cast<uint32_t>(byName_.size()),
                  started_, UnixMs()};
  std::shared_ptr<std::vector<OnlinePlayer>> all;
  if (resync_ || ++beats_ % 15 == 0) {
    all = std::make_shared<std::vector<OnlinePlayer>>();
    for (const auto& entry : byName_) all->push_back(OnlineEntry(*sessions_.at(entry.second)));
    resync_ = false;
  }
  storeQueue_.Run([info, all](Store& s, std::string* e) { return s.Heartbeat(info, all.get(), e); },
                  [this](bool ok, const std::string&) { resync_ = resync_ || !ok; });
  heartbeat_.expires_after(kHeartbeatEvery);
  heartbeat_.async_wait([this](ErrorCode ec) {
    if (!ec) Beat();
  });
}

LogEntry Server::Entry(const Session& session, LogLevel level, const std::string& event,
                       const std::string& detail) {
  LogEntry entry;
  entry.level = level;
  entry.event = event;
  entry.player = session.player;
  entry.address = session.Address();
  entry.detail = detail;
  return entry;
}

void Server::Sampled(const LogEntry& entry) { samplers_[entry.event].Log(entry); }

void Server::Accept(asio::ip::tcp::socket socket) {
  ErrorCode ec;
  asio::ip::tcp::endpoint remote = socket.remote_endpoint(ec);
  if (ec) return;  // gone before it could be seen
  std::string address = remote.address().to_string() + ":" + std::to_string(remote.port());
  std::string key = AddressKey(remote.address());
  uint32_t cap = settings_.limits.connectionsPerAddress;
  auto open = connectionsFrom_.find(key);
  if (cap != 0 && open != connectionsFrom_.end() && open->second >= cap) {
    LogEntry entry;
    entry.level = LogLevel::kWarning;
    entry.event = "connection-refused";
    entry.address = address;
    entry.detail = std::to_string(cap) + " connections from " + key + " are open already";
    ++counters_.connectionsRefused;
    Sampled(entry);
    socket.close(ec);
    return;
  }
  ++connectionsFrom_[key];
  ++counters_.connections;
  auto session = std::make_shared<Session>(std::move(socket), tls_, useTls_, *this, ++ids_,
                                           settings_.limits, address, key);
  sessions_[session->Id()] = session;
  Log(Entry(*session, LogLevel::kInfo, "connected", ""));
  session->Start();
}

void Server::Remove(Session& session, const std::string& why) {
  Log(Entry(session, LogLevel::kInfo, "gone", why));
  auto range = byName_.equal_range(session.player);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == session.Id()) {
      byName_.erase(it);
      break;
    }
  }
  // Off the list of who is online, unless the player is still here on a newer connection.
  if (!session.player.empty() && byName_.count(session.player) == 0 && !stopped_) {
    OnlinePlayer gone = OnlineEntry(session);
    storeQueue_.Run([gone](Store& s, std::string* e) { return s.SetOnline(gone, false, e); },
                    [this](bool ok, const std::string&) { resync_ = resync_ || !ok; });
  }
  auto from = connectionsFrom_.find(session.AddressKey());
  if (from != connectionsFrom_.end() && --from->second == 0) connectionsFrom_.erase(from);
  // The session may be inside one of its own handlers: let it go once they have returned.
  auto found = sessions_.find(session.Id());
  if (found == sessions_.end()) return;
  std::shared_ptr<Session> keep = found->second;
  sessions_.erase(found);
  asio::post(io_, [keep] {});
}

void Server::Refused(const Session& session, const std::string& rule, uint8_t request,
                     const std::string& detail, bool fatal, bool quiet) {
  ++counters_.refusals[rule];
  if (quiet) return;
  // The request refused, unless the detail starts with its name already.
  const MessageLayout* layout = LayoutOf(request);
  std::string name = layout != nullptr ? layout->name : "";
  bool named = name.empty() || detail.compare(0, name.size(), name) == 0;
  LogEntry entry =
      Entry(session, LogLevel::kInfo, "refused",
            rule + ": " + detail + (named ? "" : " (" + name + ")") + (fatal ? "; closing" : ""));
  if (rule == "rate-limit" || rule == "flood") return Sampled(entry);
  Log(entry);
}

void Server::WithStore(const std::shared_ptr<Session>& session, uint8_t request,
                       StoreQueue::Work work, Then then) {
  session->Hold();
  storeQueue_.Run(std::move(work), [session, request, then](bool ok, const std::string& error) {
    if (session->state == Session::State::kClosed) return;
    if (!ok) {
      session->Refuse("store-unavailable", request, error + "; try again later", false);
    } else if (then) {
      then();
    }
    session->Resume();
  });
}

void Server::Handle(const std::shared_ptr<Session>& session, const Message& m) {
  using State = Session::State;
  ++counters_.messagesIn[m.type];
  const MessageLayout* layout = LayoutOf(m.type);
  if (!layout->fromClient) {
    return session->Refuse("unknown-message", m.type,
                           std::string(layout->name) + " goes from the server to meetpoint", false);
  }
  if (session->state == State::kNew && m.type != kHello) {
    return session->Refuse("hello-first", m.type, "the first message must be a Hello", true);
  }
  switch (m.type) {
    case kHello: {
      if (session->state != State::kNew) {
        return session->Refuse("hello-once", m.type, "Hello comes once, first", false);
      }
      char magic[16];
      snprintf(magic, sizeof magic, "0x%08X", m.num(0));
      if (m.num(0) != kMagic) {
        return session->Refuse("version", m.type,
                               std::string("not a lobby Hello: magic ") + magic +
                                   ", where this server expects 0x424C4C52 (RLLB)",
                               true);
      }
      if (m.num(1) != kVersion) {
        return session->Refuse("version", m.type,
                               "this server speaks version " + std::to_string(kVersion) +
                                   "; got version " + std::to_string(m.num(1)),
                               true);
      }
      session->state = State::kGreeted;
      session->Send(Message(kWelcome).Num(kVersion).Text(settings_.name));
      return;
    }
    case kLogin:
      return Login(session, m);
    case kRegister:
      return Register(session, m);
    case kPing:
      return session->Send(Message(kPong).Num(m.num(0)));
    default:
      break;
  }
  if (session->state != State::kIn) {
    return session->Refuse("login-first", m.type, "log in before anything else", false);
  }
  const std::string me = session->player;
  const uint32_t giid = m.num(0);
  // What a store request found, for the loop to act on.
  struct Found {
    uint32_t giid = 0;
    bool joined = false;
    bool member = true;
    Outcome outcome;
  };
  auto found = std::make_shared<Found>();
  switch (m.type) {
    case kWho: {
      // Pages ask every few seconds, and each answer reads the whole list: one read a second
      // serves them all.
      if (online_ != nullptr && Clock::now() - onlineAt_ < kOnlineKept) {
        return session->Send(Message(kOnline).Num(online_->first).Records(online_->second));
      }
      auto online = std::make_shared<std::pair<uint32_t, std::vector<Record>>>();
      auto work = [online](Store& s, std::string* e) {
        std::vector<ServerInfo> servers;
        std::vector<OnlinePlayer> players;
        if (!s.Online(&servers, &players, e)) return false;
        online->first = static_cast<uint32_t>(players.size());
        std::vector<std::string> names;
        for (size_t i = 0; i < players.size() && i < kMaxRecords; ++i)
          names.push_back(players[i].name);
        return s.Ratings(names, &online->second, e);
      };
      return WithStore(session, m.type, work, [this, session, online] {
        online_ = online;
        onlineAt_ = Clock::now();
        session->Send(Message(kOnline).Num(online->first).Records(online->second));
      });
    }
    case kRatings: {
      auto table = std::make_shared<std::vector<Record>>();
      uint32_t count = m.num(0);
      return WithStore(
          session, m.type,
          [table, count](Store& s, std::string* e) { return s.TopRatings(count, table.get(), e); },
          [session, table] { session->Send(Message(kRatingsTable).Records(*table)); });
    }
    case kChat: {
      // Numbered, so that this server knows its own line when it comes back from the store.
      auto now = Clock::now();
      while (!chatSent_.empty() && now - chatSent_.begin()->second > kChatForgotten)
        chatSent_.erase(chatSent_.begin());
      chatSent_[++chatNumber_] = now;
      Bytes event = BusEvent(kToAll, {}, EncodeFrame(Message(kChatLine).Text(me).Text(m.text(0))),
                             nonce_, chatNumber_);
      ChatEntry line{UnixMs(), me, m.text(0)};
      return WithStore(
          session, m.type,
          [event, line](Store& s, std::string* e) { return s.Chat(line, event, e); }, nullptr);
    }
    case kStartInstance: {
      std::vector<std::string> invited = InvitedList(m.text(0));
      uint32_t atLeast = highestGiid_;
      uint32_t flags = settings_.votingFlags;
      auto work = [=](Store& s, std::string* e) {
        if (!s.NewInstance(me, invited, atLeast, &found->giid, e)) return false;
        Message instance = Message(kInstance).Num(found->giid).Num(flags).Text(me);
        return s.Publish(BusEvent(kToAll, {}, EncodeFrame(instance)), e);
      };
      return WithStore(session, m.type, work, [this, session, found, invited] {
        highestGiid_ = std::max(highestGiid_, found->giid);
        std::string who = "open to anyone";
        if (!invited.empty()) {
          who = "for invited players:";
          for (const std::string& name : invited) who += " " + name;
        }
        Log(Entry(*session, LogLevel::kInfo, "instance-started",
                  "game instance " + std::to_string(found->giid) + ", " + who));
      });
    }
    case kJoin: {
      // A new member is news for everyone, like a new instance.
      Bytes joined = BusEvent(kToAll, {}, EncodeFrame(Message(kJoined).Num(giid).Text(me)));
      auto work = [=](Store& s, std::string* e) {
        bool added = false;
        if (!s.Join(giid, me, &found->joined, &added, e)) return false;
        return !added || s.Publish(joined, e);
      };
      return WithStore(session, m.type, work, [session, found, giid] {
        session->Send(Message(kJoinResult).Num(giid).Num(found->joined ? 1 : 0));
      });
    }
    default:
      break;
  }
  // Vote, Results and Accuse: for members of the instance only.
  auto notMember = [session, giid, me, type = m.type] {
    session->Refuse("not-member", type, me + " is not in game instance " + std::to_string(giid),
                    false);
  };
  switch (m.type) {
    case kVote: {
      uint32_t vote = m.num(1);
      auto work = [=](Store& s, std::string* e) {
        std::vector<std::string> members;
        if (!s.Members(giid, &members, e)) return false;
        if (!(found->member = Contains(members, me))) return true;
        Message cast = Message(kVoteCast).Num(giid).Num(vote).Text(me);
        return s.Publish(BusEvent(kToPlayers, members, EncodeFrame(cast)), e);
      };
      return WithStore(session, m.type, work, [found, notMember] {
        if (!found->member) notMember();
      });
    }
    case kResults: {
      Report report{me, m.num(1), m.text(2)};
      int64_t cooldown = settings_.pairCooldownSeconds;
      auto work = [=](Store& s, std::string* e) {
        std::vector<std::string> members;
        if (!s.Members(giid, &members, e)) return false;
        if (!(found->member = Contains(members, me))) return true;
        if (!s.Report(giid, report, cooldown, &found->outcome, e)) return false;
        if (!found->outcome.fresh) return true;
        Bytes frame = EncodeFrame(Message(kFinalResults)
                                      .Num(giid)
                                      .Num(found->outcome.vote)
                                      .Records(found->outcome.players));
        return s.Publish(BusEvent(kToPlayers, members, frame), e);
      };
      return WithStore(session, m.type, work, [this, session, found, notMember, giid] {
        const Outcome& outcome = found->outcome;
        if (!found->member) return notMember();
        std::string instance = "game instance " + std::to_string(giid);
        if (outcome.pending) {
          Log(Entry(*session, LogLevel::kInfo, "results-noted",
                    instance + ": waiting for a majority of its members to agree"));
        } else if (outcome.fresh) {
          Log(Entry(*session, LogLevel::kInfo, "instance-finished",
                    instance + ": a majority of its members agreed on the results"));
        } else {
          // Decided before: the sender gets the results as they were set.
          session->Send(
              Message(kFinalResults).Num(giid).Num(outcome.vote).Records(outcome.players));
        }
      });
    }
    case kAccuse: {
      std::string accused = m.text(1);
      auto work = [=](Store& s, std::string* e) {
        std::vector<std::string> members;
        if (!s.Members(giid, &members, e)) return false;
        found->member = Contains(members, me) && Contains(members, accused) && accused != me;
        return !found->member || s.Accuse(giid, me, accused, e);
      };
      return WithStore(session, m.type, work, [session, found, giid, type = m.type] {
        if (found->member) return;
        session->Refuse(
            "not-member", type,
            "only another member of game instance " + std::to_string(giid) + " can be accused",
            false);
      });
    }
    default:
      return;
  }
}

// The time to tell a login turned away for want of room: the next free slot in a schedule
// that spaces such logins at the rate the lane's checks end, at most kLongestRetry ahead, so
// that clients who never come back can't push the others' turns far away.
uint32_t Server::RetryAfterMs(Lane& lane, Clock::time_point now) {
  auto interval = std::chrono::duration_cast<Clock::duration>(
      hashTime_ / std::max<uint32_t>(1, std::min(lane.capacity, settings_.limits.hashThreads)));
  lane.nextSlot = std::min(std::max(lane.nextSlot, now) + interval, now + kLongestRetry);
  return static_cast<uint32_t>(
      std::max<int64_t>(100, std::chrono::ceil<Ms>(lane.nextSlot - now).count()));
}

bool Server::AddressHasRoom(const std::shared_ptr<Session>& session, const std::string& name,
                            uint8_t request) {
  const std::string& key = session->AddressKey();
  auto from = checkingFrom_.find(key);
  uint32_t fromHere = from == checkingFrom_.end() ? 0 : from->second;
  uint32_t perAddress = settings_.limits.loginsPerAddress;
  if (perAddress == 0 || fromHere < perAddress) return true;
  auto ms = std::chrono::ceil<Ms>(hashTime_ * fromHere).count();
  LoginDone(session, LoginResult::kBusy, name, static_cast<uint32_t>(std::max<int64_t>(100, ms)),
            std::to_string(fromHere) + " logins from " + key + " are being checked", request);
  return false;
}

void Server::Login(const std::shared_ptr<Session>& session, const Message& m) {
  if (session->state == Session::State::kIn) {
    return session->Refuse("already-logged-in", m.type, "a connection logs in once", false);
  }
  std::string name = m.text(0);
  std::string password = m.text(1);
  const std::string& key = session->AddressKey();
  // The failure limits count a name in all its cases as one.
  std::string folded = FoldName(name);
  auto now = Clock::now();
  Ms wait = addressFailures_.Wait(key, now);
  if (!accountAddresses_.Has(PairKey(folded, key), now))
    wait = std::max(wait, accountFailures_.Wait(folded, now));
  if (wait.count() > 0) return LoginDone(session, LoginResult::kLimited, name, wait.count());
  if (!AddressHasRoom(session, name, kLogin)) return;
  FromAddress(key, 1);
  session->state = Session::State::kLoggingIn;
  session->Hold();
  auto account = std::make_shared<Account>();
  auto ban = std::make_shared<Ban>();
  storeQueue_.Run(
      [name, account, ban](Store& s, std::string* e) {
        return s.FindAccount(name, account.get(), e) &&
               (account->hash.empty() || s.BanOf(account->name, ban.get(), e));
      },
      [this, session, name, password, account, ban, key](bool ok, const std::string& error) {
        if (!ok) {
          FromAddress(key, -1);
          return LoginDone(session, LoginResult::kStoreUnavailable, name, 0, error);
        }
        // Nobody waits for the answer any more: the check is not worth its time.
        if (session->state == Session::State::kClosed) return FromAddress(key, -1);
        // A banned player is told so at once, without a password check.
        if (!ban->name.empty()) {
          FromAddress(key, -1);
          return LoginDone(session, LoginResult::kBanned, account->name, 0, BanText(*ban));
        }
        Lane& lane = account->hash.empty() ? unknown_ : known_;
        if (lane.checking >= lane.capacity) {
          FromAddress(key, -1);
          return LoginDone(session, LoginResult::kBusy, name, RetryAfterMs(lane, Clock::now()),
                           std::to_string(lane.checking) + " logins are being checked");
        }
        ++lane.checking;
        CheckPassword(*session, account->name, password, account->hash);
      });
}

// A new account: checked like a login (the same caps on password work, as its hash costs as
// much as a check), limited per address, and unique without regard to case.
void Server::Register(const std::shared_ptr<Session>& session, const Message& m) {
  if (session->state == Session::State::kIn) {
    return session->Refuse("already-logged-in", m.type, "a connection logs in once", false);
  }
  if (!settings_.openRegistration) {
    return session->Refuse("registration-closed", m.type,
                           "This lobby does not take sign-ups; ask its operator for an account.",
                           false);
  }
  std::string name = m.text(0);
  std::string password = m.text(1);
  if (!ValidName(name)) {
    return session->Refuse("name-rules", m.type,
                           "a name is 1 to 31 printable ASCII characters, neither starting nor "
                           "ending with a space",
                           false);
  }
  if (!ValidPassword(password))
    return session->Refuse("password-rules", m.type, "a password is 8 to 128 bytes", false);
  const std::string& key = session->AddressKey();
  bool limited = settings_.limits.signUpsPerHour > 0;
  Ms wait = limited ? signUps_.Wait(key) : Ms(0);
  if (wait.count() > 0) {
    return session->Refuse("register-limit", m.type,
                           "too many sign-ups from this address; " +
                               RetryAfterText(static_cast<uint32_t>(wait.count())),
                           false);
  }
  if (!AddressHasRoom(session, name, kRegister)) return;
  FromAddress(key, 1);
  session->state = Session::State::kLoggingIn;
  session->Hold();
  auto account = std::make_shared<Account>();
  storeQueue_.Run(
      [name, account](Store& s, std::string* e) { return s.FindAccount(name, account.get(), e); },
      [this, session, name, password, account, key, limited](bool ok, const std::string& error) {
        FromAddress(key, -1);
        if (!ok) {
          return LoginDone(session, LoginResult::kStoreUnavailable, name, 0, error, kRegister);
        }
        if (session->state == Session::State::kClosed) return;
        if (!account->hash.empty()) {
          return SignUpRefused(
              session, "name-taken",
              "an account named " + account->name + " exists (names are the same in any case)");
        }
        if (known_.checking >= known_.capacity) {
          return LoginDone(session, LoginResult::kBusy, name, RetryAfterMs(known_, Clock::now()),
                           std::to_string(known_.checking) + " logins are being checked",
                           kRegister);
        }
        if (limited) signUps_.Take(key);
        HashNewPassword(session, name, password);
      });
}

void Server::HashNewPassword(const std::shared_ptr<Session>& session, const std::string& name,
                             const std::string& password) {
  ++known_.checking;
  std::string key = session->AddressKey();
  FromAddress(key, 1);
  uint64_t id = session->Id();
  asio::post(hashing_, [this, id, name, password, key] {
    auto start = Clock::now();
    auto hash = std::make_shared<std::string>();
    bool hashed = HashPassword(password, HashCost::kInteractive, hash.get());
    std::chrono::duration<double> took = Clock::now() - start;
    asio::post(io_, [this, id, name, hash, hashed, took, key] {
      FromAddress(key, -1);
      --known_.checking;
      hashTime_ = hashTime_ * 0.8 + took * 0.2;
      auto found = sessions_.find(id);
      if (found == sessions_.end()) return;
      std::shared_ptr<Session> waiting = found->second;
      if (!hashed) {
        return LoginDone(waiting, LoginResult::kBusy, name, RetryAfterMs(known_, Clock::now()),
                         "no memory for a password hash", kRegister);
      }
      auto result = std::make_shared<AddResult>();
      storeQueue_.Run(
          [name, hash, result](Store& s, std::string* e) {
            return s.AddAccount({name, *hash}, false, result.get(), e);
          },
          [this, waiting, name, result](bool ok, const std::string& error) {
            if (waiting->state == Session::State::kClosed) return;
            if (!ok) {
              return LoginDone(waiting, LoginResult::kStoreUnavailable, name, 0, error, kRegister);
            }
            if (*result == AddResult::kTaken) {
              return SignUpRefused(waiting, "name-taken",
                                   "an account of that name (in some case) was made just now");
            }
            Log(Entry(*waiting, LogLevel::kInfo, "signed-up", name));
            ++counters_.signUps;
            Admit(waiting, name, kRegister);
          });
    });
  });
}

void Server::HashOffLoop(const std::string& password,
                         std::function<void(bool hashed, const std::string& hash)> done) {
  asio::post(hashing_, [this, password, done] {
    auto hash = std::make_shared<std::string>();
    bool hashed = HashPassword(password, HashCost::kInteractive, hash.get());
    asio::post(io_, [done, hashed, hash] { done(hashed, *hash); });
  });
}

void Server::SignUpRefused(const std::shared_ptr<Session>& session, const std::string& rule,
                           const std::string& detail) {
  bool held = session->state == Session::State::kLoggingIn;
  session->state = Session::State::kGreeted;
  session->Refuse(rule, kRegister, detail, false);
  if (held) session->Resume();
}

void Server::FromAddress(const std::string& key, int change) {
  uint32_t& count = checkingFrom_[key];
  count += change;
  if (count == 0) checkingFrom_.erase(key);
}

void Server::CheckPassword(const Session& session, const std::string& name,
                           const std::string& password, const std::string& hash) {
  bool known = !hash.empty();
  uint64_t id = session.Id();
  std::string key = session.AddressKey();
  // The pool's work holds no session: what it holds may be let go on its thread.
  std::shared_ptr<const std::atomic<bool>> gone = session.GoneFlag();
  asio::post(hashing_,
             [this, id, name, password, known, gone, key, hash = known ? hash : dummyHash_] {
               bool skipped = gone->load();
               auto start = Clock::now();
               bool ok = !skipped && lobby::CheckPassword(password, hash) && known;
               std::chrono::duration<double> took = Clock::now() - start;
               asio::post(io_, [this, id, name, ok, known, skipped, took, key] {
                 FromAddress(key, -1);
                 --(known ? known_ : unknown_).checking;
                 if (!skipped) hashTime_ = hashTime_ * 0.8 + took * 0.2;
                 auto found = sessions_.find(id);
                 if (found != sessions_.end()) PasswordChecked(found->second, name, ok, known);
               });
             });
}

void Server::PasswordChecked(const std::shared_ptr<Session>& session, const std::string& name,
                             bool ok, bool known) {
  if (!ok) {
    return LoginDone(session, known ? LoginResult::kWrongPassword : LoginResult::kUnknownPlayer,
                     name);
  }
  Admit(session, name, kLogin);
}

void Server::Admit(const std::shared_ptr<Session>& session, const std::string& name,
                   uint8_t request) {
  auto rating = std::make_shared<uint32_t>(kStartRating);
  // One connection per player: an older one, on any server, is closed.
  Bytes kick = BusEvent(kKick, {name}, {}, nonce_, session->Id());
  session->loggedInAt = UnixMs();
  OnlinePlayer online{name, id_, session->Address(), session->loggedInAt};
  storeQueue_.Run(
      [name, rating, kick, online](Store& s, std::string* e) {
        return s.Rating(name, rating.get(), e) && s.Publish(kick, e) &&
               s.SetOnline(online, true, e);
      },
      [this, session, name, rating, request](bool done, const std::string& error) {
        // The store may have the player online who is not: the next beat writes the list anew.
        if (!done || session->state == Session::State::kClosed) resync_ = true;
        if (session->state == Session::State::kClosed) return;
        if (!done)
          return LoginDone(session, LoginResult::kStoreUnavailable, name, 0, error, request);
        LoginDone(session, LoginResult::kOk, name, *rating);
      });
}

// Every login ends here: the answer, the line in the log, and the failure limits' strikes.
void Server::LoginDone(const std::shared_ptr<Session>& session, LoginResult result,
                       const std::string& name, uint32_t number, const std::string& detail,
                       uint8_t request) {
  bool held = session->state == Session::State::kLoggingIn;
  const std::string& key = session->AddressKey();
  std::string folded = FoldName(name);
  ++counters_.logins[static_cast<size_t>(result)];
  LogEntry entry = Entry(*session, LogLevel::kInfo, "login", "");
  entry.player = name;
  switch (result) {
    case LoginResult::kOk:
      session->player = name;
      session->LoggedIn();
      byName_.emplace(name, session->Id());
      accountFailures_.Clear(folded);
      accountAddresses_.Note(PairKey(folded, key));
      entry.event = "logged-in";
      entry.detail = "rating " + std::to_string(number);
      Log(entry);
      session->Send(Message(kLoggedIn).Text(name).Num(number));
      break;
    case LoginResult::kWrongPassword:
    case LoginResult::kUnknownPlayer: {
      addressFailures_.Strike(key);
      accountFailures_.Strike(folded);
      session->state = Session::State::kGreeted;
      bool last = ++session->loginFailures >= settings_.limits.maxLoginFailures;
      entry.event = "login-failed";
      entry.detail = result == LoginResult::kWrongPassword ? "wrong password" : "unknown player";
      Log(entry);
      session->Refuse("bad-login", kLogin, "wrong player name or password for " + name, last, true);
      break;
    }
    case LoginResult::kLimited:
      entry.event = "login-limited";
      entry.detail = "too many failed logins; blocked for " + MsText(number);
      Sampled(entry);
      session->Refuse(
          "login-limit", kLogin,
          "too many failed logins from this address or for this player; " + RetryAfterText(number),
          true, true);
      break;
    case LoginResult::kBusy:
      entry.event = "login-busy";
      entry.detail = detail + "; told to come back in " + MsText(number);
      Sampled(entry);
      session->Refuse("busy", request,
                      "the server is checking as many logins as it can; " + RetryAfterText(number),
                      true, true);
      break;
    case LoginResult::kBanned:
      entry.event = "login-banned";
      entry.detail = detail;
      Log(entry);
      session->Refuse("banned", request, detail, true, true);
      break;
    case LoginResult::kStoreUnavailable:
      session->state = Session::State::kGreeted;
      entry.level = LogLevel::kWarning;
      entry.event = "login-store-unavailable";
      entry.detail = detail;
      Log(entry);
      session->Refuse("store-unavailable", request, detail + "; try again later", false, true);
      break;
  }
  if (held) session->Resume();
}

void Server::Deliver(const Bytes& event) {
  if (event.size() < 17) return;
  uint8_t target = event[0];
  uint64_t nonce = (static_cast<uint64_t>(GetU32(&event[1])) << 32) | GetU32(&event[5]);
  uint32_t except = GetU32(&event[9]);
  uint32_t count = GetU32(&event[13]);
  size_t at = 17;
  std::vector<std::string> players;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 2 > event.size()) return;
    size_t length = event[at] | (event[at + 1] << 8);
    if (at + 2 + length > event.size()) return;
    players.emplace_back(reinterpret_cast<const char*>(&event[at + 2]), length);
    at += 2 + length;
  }
  Bytes frame(event.begin() + static_cast<std::ptrdiff_t>(at), event.end());
  // Every server sees every instance number handed out, so none is handed out again after a
  // rollback of the store while any server remembers it.
  if (frame.size() >= 9 && (frame[4] == kInstance || frame[4] == kFinalResults))
    highestGiid_ = std::max(highestGiid_, GetU32(&frame[5]));
  // Sending may close a session (a slow reader), which leaves sessions_: choose first.
  std::vector<std::shared_ptr<Session>> chosen;
  if (target == kToAll) {
    for (auto& entry : sessions_) {
      if (entry.second->state == Session::State::kIn) chosen.push_back(entry.second);
    }
  }
  for (const std::string& player : players) {
    auto range = byName_.equal_range(player);
    for (auto it = range.first; it != range.second; ++it) {
      auto found = sessions_.find(it->second);
      if (found == sessions_.end()) continue;
      if (target == kKick && nonce == nonce_ && it->second == except) continue;
      chosen.push_back(found->second);
    }
  }
  Message end;
  std::string problem;
  if (target == kEnd &&
      (frame.size() < 5 || !Decode(frame.data() + 4, frame.size() - 4, &end, &problem)))
    return;
  for (const auto& session : chosen) {
    if (target == kKick) {
      session->Refuse("logged-in-elsewhere", 0,
                      session->player + " logged in on another connection", true);
    } else if (target == kEnd) {
      session->Refuse(end.text(0), 0, end.text(2), true);
    } else {
      session->SendFrame(frame);
    }
  }
  // This server's own chat line has been queued for every player here.
  if (target == kToAll && nonce == nonce_ && frame.size() > 4 && frame[4] == kChatLine) {
    auto sent = chatSent_.find(except);
    if (sent == chatSent_.end()) return;
    std::chrono::duration<double> took = Clock::now() - sent->second;
    counters_.chatFanout.Observe(took.count());
    chatSent_.erase(sent);
  }
}

Bytes Server::EndEvent(const std::string& player, const std::string& rule,
                       const std::string& detail) {
  return BusEvent(
      kEnd, {player},
      EncodeFrame(Message(kError).Text(rule).Num(0).Text(detail.substr(0, 255)).Num(1)));
}

Snapshot Server::TakeSnapshot() const {
  Snapshot snapshot;
  for (const auto& entry : sessions_) {
    const Session& session = *entry.second;
    size_t state = static_cast<size_t>(session.state);
    if (state < 5) ++snapshot.byState[state];
    snapshot.queuedBytes += session.Queued();
  }
  snapshot.playersHere = byName_.size();
  return snapshot;
}

}  // namespace lobby
