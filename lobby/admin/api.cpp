#include "api.h"

#include <openssl/crypto.h>

#include <nlohmann/json.hpp>

#include <map>

#include "admin/console_files.h"
#include "json_text.h"
#include "names.h"
#include "server.h"

namespace lobby {

namespace {

using json = nlohmann::json;

// What a page of the console may do: its own scripts, styles and API, nothing inline, nothing
// from anywhere else, and no framing by other sites.
const char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

const size_t kLongestReason = 200;
const int64_t kLongestBanSeconds = int64_t{10} * 366 * 24 * 3600;

// One request being answered.
struct Call {
  Server& server;
  std::string peer;
  Respond respond;
  std::map<std::string, std::string> query;
  json body;
};
using CallPtr = std::shared_ptr<Call>;

HttpResponse Answer(http::status status, const std::string& type, std::string body) {
  HttpResponse response(status, 11);
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  response.set("Content-Security-Policy", kPolicy);
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
  response.body() = std::move(body);
  return response;
}

HttpResponse Json(const json& value, http::status status = http::status::ok) {
  // Every text is valid UTF-8 by JsonText; should one not be, it is replaced, never thrown.
  return Answer(status, "application/json; charset=utf-8",
                value.dump(-1, ' ', false, json::error_handler_t::replace));
}

HttpResponse Problem(http::status status, const std::string& rule, const std::string& detail) {
  return Json({{"error", rule}, {"detail", JsonText(detail)}}, status);
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() &&
               isxdigit(static_cast<unsigned char>(text[i + 1])) != 0 &&
               isxdigit(static_cast<unsigned char>(text[i + 2])) != 0) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> Query(const std::string& text) {
  std::map<std::string, std::string> query;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = std::min(text.find('&', start), text.size());
    std::string pair = text.substr(start, end - start);
    size_t equals = pair.find('=');
    if (equals != std::string::npos)
      query[Unescape(pair.substr(0, equals))] = Unescape(pair.substr(equals + 1));
    start = end + 1;
  }
  return query;
}

// A count from the query: the default when missing, at most `most`.
uint32_t Count(const CallPtr& call, uint32_t fallback, uint32_t most) {
  auto found = call->query.find("count");
  if (found == call->query.end()) return fallback;
  char* end = nullptr;
  unsigned long n = strtoul(found->second.c_str(), &end, 10);
  return *end != '\0' ? fallback : static_cast<uint32_t>(std::min<unsigned long>(n, most));
}

// A text field of the body as a lobby text; refuses the request when it is missing or not one.
bool Text(const CallPtr& call, const char* key, std::string* out, bool required = true) {
  auto found = call->body.find(key);
  if (found == call->body.end() && !required) return true;
  if (found == call->body.end() || !found->is_string() ||
      !LobbyText(found->get<std::string>(), out)) {
    call->respond(Problem(http::status::bad_request, "bad-field",
                          std::string("\"") + key + "\" must be a text of 8-bit characters"));
    return false;
  }
  return true;
}

void WithStore(const CallPtr& call, StoreQueue::Work work, std::function<void()> then) {
  call->server.Queue().Run(std::move(work), [call, then](bool ok, const std::string& error) {
    if (!ok)
      return call->respond(Problem(http::status::service_unavailable, "store-unavailable", error));
    then();
  });
}

json PlayerJson(const OnlinePlayer& player, const std::vector<ServerInfo>& servers) {
  std::string serverName;
  for (const ServerInfo& server : servers) {
    if (server.id == player.server) serverName = server.name;
  }
  return {{"name", JsonText(player.name)},
          {"server", player.server},
          {"serverName", JsonText(serverName)},
          {"address", player.address},
          {"since", player.since}};
}

json ServerJson(const ServerInfo& server) {
  return {{"id", server.id},           {"name", JsonText(server.name)},
          {"listen", server.listen},   {"players", server.players},
          {"started", server.started}, {"heartbeat", server.heartbeat}};
}

json RecordsJson(const std::vector<Record>& records) {
  json list = json::array();
  for (const Record& record : records)
    list.push_back({{"name", JsonText(record.name)}, {"rating", record.rating}});
  return list;
}

json BanJson(const Ban& ban) {
  return {{"name", JsonText(ban.name)},
          {"reason", JsonText(ban.reason)},
          {"expires", ban.expires},
          {"at", ban.at},
          {"text", JsonText(BanText(ban))}};
}

// The lobby as a whole: who is online where, and how many instances are open.
struct LobbyFigures {
  std::vector<ServerInfo> servers;
  std::vector<OnlinePlayer> players;
  std::vector<InstanceInfo> instances;
  uint64_t openInstances = 0;
};

void Figures(const CallPtr& call, uint32_t instances,
             std::function<void(const LobbyFigures&)> then) {
  auto figures = std::make_shared<LobbyFigures>();
  WithStore(
      call,
      [figures, instances](Store& s, std::string* e) {
        return s.Online(&figures->servers, &figures->players, e) &&
               s.OpenInstances(instances, &figures->instances, &figures->openInstances, e);
      },
      [figures, then] { then(*figures); });
}

void Metrics(const CallPtr& call) {
  auto figures = std::make_shared<LobbyFigures>();
  auto got = std::make_shared<bool>(false);
  call->server.Queue().Run(
      [figures, got](Store& s, std::string* e) {
        return *got = s.Online(&figures->servers, &figures->players, e) &&
                      s.OpenInstances(0, &figures->instances, &figures->openInstances, e);
      },
      [call, figures, got](bool ok, const std::string&) {
        // Without the store the scrape still has this server's own figures.
        Snapshot snapshot = call->server.TakeSnapshot();
        snapshot.haveLobby = ok && *got;
        snapshot.playersOnline = figures->players.size();
        snapshot.openInstances = figures->openInstances;
        call->respond(
            Answer(http::status::ok, "text/plain; version=0.0.4; charset=utf-8",
                   Scrape(call->server.Counters(), call->server.Queue().Stats(), snapshot)));
      });
}

void Summary(const CallPtr& call) {
  Figures(call, 0, [call](const LobbyFigures& figures) {
    const LobbyCounters& c = call->server.Counters();
    uint64_t in = 0;
    uint64_t out = 0;
    for (size_t i = 0; i < 256; ++i) {
      in += c.messagesIn[i];
      out += c.messagesOut[i];
    }
    call->respond(Json(
        {{"server", {{"id", call->server.Id()}, {"name", JsonText(call->server.Settings().name)}}},
         {"playersOnline", figures.players.size()},
         {"playersHere", call->server.TakeSnapshot().playersHere},
         {"instancesOpen", figures.openInstances},
         {"servers", figures.servers.size()},
         {"messagesIn", in},
         {"messagesOut", out},
         {"logins", c.logins[static_cast<size_t>(LoginResult::kOk)]},
         {"time", UnixMs()}}));
  });
}

void Players(const CallPtr& call) {
  Figures(call, 0, [call](const LobbyFigures& figures) {
    json players = json::array();
    for (const OnlinePlayer& player : figures.players)
      players.push_back(PlayerJson(player, figures.servers));
    call->respond(Json({{"total", figures.players.size()}, {"players", players}}));
  });
}

void Servers(const CallPtr& call) {
  Figures(call, 0, [call](const LobbyFigures& figures) {
    json servers = json::array();
    for (const ServerInfo& server : figures.servers) servers.push_back(ServerJson(server));
    call->respond(Json({{"servers", servers}}));
  });
}

void Instances(const CallPtr& call) {
  Figures(call, Count(call, 100, 500), [call](const LobbyFigures& figures) {
    json instances = json::array();
    for (const InstanceInfo& instance : figures.instances) {
      json members = json::array();
      for (const std::string& member : instance.members) members.push_back(JsonText(member));
      instances.push_back(
          {{"giid", instance.giid}, {"members", members}, {"invitedOnly", instance.invitedOnly}});
    }
    call->respond(Json({{"total", figures.openInstances}, {"instances", instances}}));
  });
}

void Chat(const CallPtr& call) {
  auto lines = std::make_shared<std::vector<ChatEntry>>();
  uint32_t count = Count(call, 50, kChatKept);
  WithStore(
      call, [lines, count](Store& s, std::string* e) { return s.ChatTail(count, lines.get(), e); },
      [call, lines] {
        json list = json::array();
        for (const ChatEntry& line : *lines)
          list.push_back(
              {{"at", line.at}, {"from", JsonText(line.from)}, {"text", JsonText(line.text)}});
        call->respond(Json({{"lines", list}}));
      });
}

void Ratings(const CallPtr& call) {
  auto records = std::make_shared<std::vector<Record>>();
  uint32_t count = Count(call, 100, 1000);
  WithStore(
      call,
      [records, count](Store& s, std::string* e) { return s.TopRatings(count, records.get(), e); },
      [call, records] {
        call->respond(Json({{"ratings", RecordsJson(*records)}}));
      });
}

void Accounts(const CallPtr& call) {
  auto records = std::make_shared<std::vector<Record>>();
  std::string prefix;
  auto given = call->query.find("prefix");
  if (given != call->query.end() && !LobbyText(given->second, &prefix))
    return call->respond(
        Problem(http::status::bad_request, "bad-field", "a prefix of 8-bit characters"));
  uint32_t count = Count(call, 50, 1000);
  WithStore(
      call,
      [records, prefix, count](Store& s, std::string* e) {
        return s.FindAccounts(prefix, count, records.get(), e);
      },
      [call, records] {
        call->respond(Json({{"accounts", RecordsJson(*records)}}));
      });
}

void BanList(const CallPtr& call) {
  auto bans = std::make_shared<std::vector<Ban>>();
  WithStore(
      call, [bans](Store& s, std::string* e) { return s.Bans(bans.get(), e); },
      [call, bans] {
        json list = json::array();
        for (const Ban& ban : *bans) list.push_back(BanJson(ban));
        call->respond(Json({{"bans", list}}));
      });
}

void AuditLog(const CallPtr& call) {
  auto entries = std::make_shared<std::vector<AuditEntry>>();
  uint32_t count = Count(call, 100, 1000);
  WithStore(
      call,
      [entries, count](Store& s, std::string* e) { return s.AuditLog(count, entries.get(), e); },
      [call, entries] {
        json list = json::array();
        for (const AuditEntry& entry : *entries) {
          list.push_back({{"at", entry.at},
                          {"action", JsonText(entry.action)},
                          {"target", JsonText(entry.target)},
                          {"address", JsonText(entry.address)},
                          {"detail", JsonText(entry.detail)}});
        }
        call->respond(Json({{"entries", list}}));
      });
}

// A change to one account, found by its name in any case: `change` runs on the store's thread
// with the account as stored and the audit line to write; 404 when there is no such account.
using Change =
    std::function<bool(Store& s, const Account& account, AuditEntry& audit, std::string* error)>;

void ChangeAccount(const CallPtr& call, const std::string& action, const std::string& detail,
                   Change change, std::function<void(const Account&)> then) {
  std::string name;
  if (!Text(call, "name", &name)) return;
  auto account = std::make_shared<Account>();
  AuditEntry audit{UnixMs(), action, name, call->peer, detail};
  WithStore(
      call,
      [name, account, audit, change](Store& s, std::string* e) mutable {
        if (!s.FindAccount(name, account.get(), e)) return false;
        if (account->hash.empty()) return true;
        audit.target = account->name;
        // A change that changed nothing clears the audit line's action: nothing to record.
        return change(s, *account, audit, e) && (audit.action.empty() || s.Audit(audit, e));
      },
      [call, account, name, then] {
        if (account->hash.empty()) {
          return call->respond(
              Problem(http::status::not_found, "unknown-player", "no account named " + name));
        }
        then(*account);
      });
}

void Done(const CallPtr& call, const Account& account) {
  call->respond(Json({{"name", JsonText(account.name)}}));
}

void Kick(const CallPtr& call) {
  std::string reason;
  if (!Text(call, "reason", &reason, false)) return;
  std::string detail = "kicked by the lobby's operator" + (reason.empty() ? "" : ": " + reason);
  ChangeAccount(
      call, "kick", reason,
      [detail](Store& s, const Account& account, AuditEntry&, std::string* e) {
        return s.Publish(Server::EndEvent(account.name, "kicked", detail), e);
      },
      [call](const Account& account) { Done(call, account); });
}

void BanPlayer(const CallPtr& call) {
  std::string reason;
  if (!Text(call, "reason", &reason)) return;
  if (reason.empty() || reason.size() > kLongestReason) {
    return call->respond(Problem(http::status::bad_request, "bad-field",
                                 "a ban needs a reason of 1 to 200 characters"));
  }
  int64_t seconds = 0;
  auto given = call->body.find("seconds");
  if (given != call->body.end()) {
    if (!given->is_number_unsigned() || given->get<uint64_t>() > uint64_t(kLongestBanSeconds)) {
      return call->respond(
          Problem(http::status::bad_request, "bad-field",
                  "\"seconds\" is how long the ban lasts: 0 (for good) to 10 years"));
    }
    seconds = given->get<int64_t>();
  }
  int64_t now = UnixMs();
  auto ban = std::make_shared<Ban>(Ban{"", reason, seconds == 0 ? 0 : now + seconds * 1000, now});
  ChangeAccount(
      call, "ban", reason,
      [ban](Store& s, const Account& account, AuditEntry& audit, std::string* e) {
        ban->name = account.name;
        audit.detail = BanText(*ban);
        return s.SetBan(*ban, e) &&
               s.Publish(Server::EndEvent(account.name, "banned", BanText(*ban)), e);
      },
      [call, ban](const Account&) { call->respond(Json(BanJson(*ban))); });
}

void Unban(const CallPtr& call) {
  auto removed = std::make_shared<bool>(false);
  ChangeAccount(
      call, "unban", "",
      [removed](Store& s, const Account& account, AuditEntry& audit, std::string* e) {
        if (!s.RemoveBan(account.name, removed.get(), e)) return false;
        if (!*removed) audit.action.clear();
        return true;
      },
      [call, removed](const Account& account) {
        if (!*removed) {
          return call->respond(
              Problem(http::status::not_found, "not-banned", account.name + " is not banned"));
        }
        Done(call, account);
      });
}

void DeleteAccount(const CallPtr& call) {
  ChangeAccount(
      call, "delete-account", "",
      [](Store& s, const Account& account, AuditEntry&, std::string* e) {
        bool deleted = false;
        return s.DeleteAccount(account.name, &deleted, e) &&
               s.Publish(Server::EndEvent(account.name, "account-deleted",
                                          "the account " + account.name + " was deleted"),
                         e);
      },
      [call](const Account& account) { Done(call, account); });
}

// Creating an account and setting a password both hash the password first, off the loop.
void WithHash(const CallPtr& call, std::function<void(const std::string& hash)> then) {
  std::string password;
  if (!Text(call, "password", &password)) return;
  if (!ValidPassword(password)) {
    return call->respond(
        Problem(http::status::bad_request, "password-rules", "a password is 8 to 128 bytes"));
  }
  call->server.HashOffLoop(password, [call, then](bool hashed, const std::string& hash) {
    if (!hashed)
      return call->respond(Problem(http::status::service_unavailable, "busy", "no memory to hash"));
    then(hash);
  });
}

void CreateAccount(const CallPtr& call) {
  std::string name;
  if (!Text(call, "name", &name)) return;
  if (!ValidName(name)) {
    return call->respond(Problem(http::status::bad_request, "name-rules",
                                 "a name is 1 to 31 printable ASCII characters, neither starting "
                                 "nor ending with a space"));
  }
  WithHash(call, [call, name](const std::string& hash) {
    auto result = std::make_shared<AddResult>();
    AuditEntry audit{UnixMs(), "create-account", name, call->peer, ""};
    WithStore(
        call,
        [name, hash, result, audit](Store& s, std::string* e) {
          return s.AddAccount({name, hash}, false, result.get(), e) &&
                 (*result == AddResult::kTaken || s.Audit(audit, e));
        },
        [call, result, name] {
          if (*result == AddResult::kTaken) {
            return call->respond(Problem(http::status::conflict, "name-taken",
                                         "an account of that name exists, in some case"));
          }
          call->respond(Json({{"name", JsonText(name)}}, http::status::created));
        });
  });
}

void SetPassword(const CallPtr& call) {
  WithHash(call, [call](const std::string& hash) {
    ChangeAccount(
        call, "set-password", "",
        [hash](Store& s, const Account& account, AuditEntry&, std::string* e) {
          AddResult result = AddResult::kTaken;
          return s.AddAccount({account.name, hash}, true, &result, e);
        },
        [call](const Account& account) { Done(call, account); });
  });
}

struct Endpoint {
  http::verb method;
  void (*handle)(const CallPtr&);
};

const std::map<std::string, Endpoint>& Endpoints() {
  static const std::map<std::string, Endpoint> kAll = {
      {"/metrics", {http::verb::get, Metrics}},
      {"/api/summary", {http::verb::get, Summary}},
      {"/api/players", {http::verb::get, Players}},
      {"/api/servers", {http::verb::get, Servers}},
      {"/api/instances", {http::verb::get, Instances}},
      {"/api/chat", {http::verb::get, Chat}},
      {"/api/ratings", {http::verb::get, Ratings}},
      {"/api/accounts", {http::verb::get, Accounts}},
      {"/api/bans", {http::verb::get, BanList}},
      {"/api/audit", {http::verb::get, AuditLog}},
      {"/api/kick", {http::verb::post, Kick}},
      {"/api/ban", {http::verb::post, BanPlayer}},
      {"/api/unban", {http::verb::post, Unban}},
      {"/api/accounts/create", {http::verb::post, CreateAccount}},
      {"/api/accounts/password", {http::verb::post, SetPassword}},
      {"/api/accounts/delete", {http::verb::post, DeleteAccount}},
  };
  return kAll;
}

// The token compared in constant time, so that its bytes can't be guessed one by one.
bool Authorised(const HttpRequest& request, const std::string& token) {
  std::string expected = "Bearer " + token;
  auto given = request[http::field::authorization];
  return given.size() == expected.size() &&
         CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
}

}  // namespace

void AdminApi::Handle(const HttpRequest& request, const asio::ip::address& peer, Respond respond) {
  std::string target(request.target());
  size_t mark = target.find('?');
  std::string path = target.substr(0, mark);
  bool read = request.method() == http::verb::get;
  if (path == "/healthz" && read)
    return respond(Answer(http::status::ok, "text/plain; charset=utf-8", "ok\n"));
  auto call = std::make_shared<Call>(Call{server_, peer.to_string(), std::move(respond), {}, {}});
  if (path == "/readyz" && read) {
    return call->server.Queue().Run(
        [](Store& s, std::string* e) { return s.Ping(e); },
        [call](bool ok, const std::string& error) {
          call->respond(ok ? Answer(http::status::ok, "text/plain; charset=utf-8", "ready\n")
                           : Answer(http::status::service_unavailable, "text/plain; charset=utf-8",
                                    "the store does not answer: " + error + "\n"));
        });
  }
  // Browsers ask for an icon by themselves; the console has none.
  if (path == "/favicon.ico" && read)
    return call->respond(Answer(http::status::no_content, "image/x-icon", ""));
  const ConsoleFile* file = FindConsoleFile(path == "/" ? "/index.html" : path);
  if (file != nullptr && read) {
    return call->respond(
        Answer(http::status::ok, file->type,
               std::string(reinterpret_cast<const char*>(file->data), file->size)));
  }
  if (!Authorised(request, token_)) {
    HttpResponse refused = Problem(http::status::unauthorized, "token",
                                   "this needs the admin token: Authorization: Bearer TOKEN");
    refused.set(http::field::www_authenticate, "Bearer");
    return call->respond(std::move(refused));
  }
  auto endpoint = Endpoints().find(path);
  if (endpoint == Endpoints().end())
    return call->respond(Problem(http::status::not_found, "not-found", "no such page: " + path));
  if (request.method() != endpoint->second.method) {
    return call->respond(
        Problem(http::status::method_not_allowed, "method",
                path + " takes " + std::string(http::to_string(endpoint->second.method))));
  }
  if (mark != std::string::npos) call->query = Query(target.substr(mark + 1));
  if (endpoint->second.method == http::verb::post) {
    call->body = json::parse(request.body(), nullptr, false);
    if (call->body.is_discarded() || !call->body.is_object())
      return call->respond(
          Problem(http::status::bad_request, "bad-json", "the body must be a JSON object"));
  }
  endpoint->second.handle(call);
}

}  // namespace lobby
