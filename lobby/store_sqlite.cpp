#include "store_sqlite.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

#include "log.h"

namespace lobby {

namespace {

const char kSchema[] =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE IF NOT EXISTS accounts(name TEXT PRIMARY KEY, hash TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS ratings(name TEXT PRIMARY KEY, rating INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS instances(giid INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  creator TEXT NOT NULL, outcome BLOB);"
    "CREATE TABLE IF NOT EXISTS members(giid INTEGER NOT NULL, seq INTEGER NOT NULL,"
    "  name TEXT NOT NULL, PRIMARY KEY(giid, name));"
    "CREATE TABLE IF NOT EXISTS history(giid INTEGER NOT NULL, name TEXT NOT NULL,"
    "  score INTEGER NOT NULL, before INTEGER NOT NULL, after INTEGER NOT NULL,"
    "  at TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP);"
    "CREATE TABLE IF NOT EXISTS accusations(giid INTEGER NOT NULL, by TEXT NOT NULL,"
    "  player TEXT NOT NULL, at TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP);"
    "CREATE TABLE IF NOT EXISTS invited(giid INTEGER NOT NULL, name TEXT NOT NULL,"
    "  PRIMARY KEY(giid, name));"
    "CREATE TABLE IF NOT EXISTS reports(giid INTEGER NOT NULL, name TEXT NOT NULL,"
    "  vote INTEGER NOT NULL, scores BLOB NOT NULL, PRIMARY KEY(giid, name));"
    "CREATE TABLE IF NOT EXISTS pairs(pair BLOB PRIMARY KEY, at INTEGER NOT NULL);"
    // A name is one account without regard to case; every account has a rating, so that the
    // ratings table finds the highest from an index.
    "CREATE UNIQUE INDEX IF NOT EXISTS accounts_folded ON accounts(name COLLATE NOCASE);"
    "INSERT OR IGNORE INTO ratings(name, rating) SELECT name, 1000 FROM accounts;"
    "CREATE INDEX IF NOT EXISTS ratings_rank ON ratings(rating DESC, name);"
    "CREATE TABLE IF NOT EXISTS bans(name TEXT PRIMARY KEY, reason TEXT NOT NULL,"
    "  expires INTEGER NOT NULL, at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS audit(at INTEGER NOT NULL, action TEXT NOT NULL,"
    "  target TEXT NOT NULL, address TEXT NOT NULL, detail TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS chat(id INTEGER PRIMARY KEY AUTOINCREMENT, at INTEGER NOT NULL,"
    "  sender TEXT NOT NULL, text BLOB NOT NULL);";

// One prepared statement, finalised when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement& Bind(int i, const std::string& text) {
    sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int i, int64_t number) {
    sqlite3_bind_int64(stmt_, i, number);
    return *this;
  }
  Statement& BindBlob(int i, const Bytes& blob) {
    sqlite3_bind_blob(stmt_, i, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& BindBlob(int i, const std::string& blob) {
    sqlite3_bind_blob(stmt_, i, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return stmt_ != nullptr ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
  }
  Bytes Blob(int column) {
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
    return data != nullptr ? Bytes(data, data + sqlite3_column_bytes(stmt_, column)) : Bytes();
  }
  bool IsNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  sqlite3_stmt* Raw() { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

class SqliteStore : public Store {
 public:
  explicit SqliteStore(sqlite3* db) : db_(db) {}
  ~SqliteStore() override { sqlite3_close(db_); }

  bool AddAccount(const Account& account, bool replace, AddResult* result,
                  std::string* error) override {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    Account found;
    if (!FindAccount(account.name, &found, error)) return Rollback();
    if (!found.hash.empty() && (found.name != account.name || !replace)) {
      *result = AddResult::kTaken;
      return Exec("COMMIT", error);
    }
    Statement s(db_,
                "INSERT INTO accounts(name, hash) VALUES(?1, ?2)"
                " ON CONFLICT(name) DO UPDATE SET hash = excluded.hash");
    Statement r(db_, "INSERT OR IGNORE INTO ratings(name, rating) VALUES(?1, ?2)");
    if (!Done(s.Bind(1, account.name).Bind(2, account.hash).Step(), error) ||
        !Done(r.Bind(1, account.name).Bind(2, kStartRating).Step(), error))
      return Rollback();
    *result = found.hash.empty() ? AddResult::kAdded : AddResult::kReplaced;
    return Exec("COMMIT", error);
  }

  bool FindAccount(const std::string& name, Account* account, std::string* error) override {
    Statement s(db_, "SELECT name, hash FROM accounts WHERE name = ?1 COLLATE NOCASE");
    int rc = s.Bind(1, name).Step();
    *account = rc == SQLITE_ROW ? Account{s.Text(0), s.Text(1)} : Account{name, ""};
    return Done(rc, error);
  }

  bool Ratings(const std::vector<std::string>& names, std::vector<Record>* records,
               std::string* error) override {
    records->clear();
    for (const std::string& name : names) {
      records->push_back({name, kStartRating});
      if (!Rating(name, &records->back().rating, error)) return false;
    }
    return true;
  }

  bool TopRatings(uint32_t count, std::vector<Record>* records, std::string* error) override {
    records->clear();
    Statement s(db_, "SELECT name, rating FROM ratings ORDER BY rating DESC, name LIMIT ?1");
    s.Bind(1, count);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW)
      records->push_back({s.Text(0), static_cast<uint32_t>(s.Int(1))});
    return Done(rc, error);
  }

  bool Rating(const std::string& name, uint32_t* rating, std::string* error) override {
    Statement s(db_, "SELECT rating FROM ratings WHERE name = ?1");
    int rc = s.Bind(1, name).Step();
    *rating = rc == SQLITE_ROW ? static_cast<uint32_t>(s.Int(0)) : kStartRating;
    return Done(rc, error);
  }

  bool Durable(std::string* why) override { return true; }

  bool NewInstance(const std::string& creator, const std::vector<std::string>& invited,
                   uint32_t atLeast, uint32_t* giid, std::string* error) override {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    Statement last(db_, "SELECT seq FROM sqlite_sequence WHERE name = 'instances'");
    int rc = last.Step();
    if (!Done(rc, error)) return Rollback();
    int64_t highest = rc == SQLITE_ROW ? last.Int(0) : 0;
    *giid = static_cast<uint32_t>(std::max<int64_t>(highest, atLeast) + 1);
    Statement s(db_, "INSERT INTO instances(giid, creator) VALUES(?1, ?2)");
    if (!Done(s.Bind(1, *giid).Bind(2, creator).Step(), error)) return Rollback();
    Statement m(db_, "INSERT INTO members(giid, seq, name) VALUES(?1, 0, ?2)");
    if (!Done(m.Bind(1, *giid).Bind(2, creator).Step(), error)) return Rollback();
    for (const std::string& name : invited) {
      Statement i(db_, "INSERT OR IGNORE INTO invited(giid, name) VALUES(?1, ?2)");
      if (!Done(i.Bind(1, *giid).Bind(2, name).Step(), error)) return Rollback();
    }
    return Exec("COMMIT", error);
  }

  bool Join(uint32_t giid, const std::string& player, bool* joined, bool* added,
            std::string* error) override {
    *joined = *added = false;
    Statement s(db_,
                "SELECT outcome IS NULL, (SELECT count(*) FROM members WHERE giid = ?1),"
                " (SELECT count(*) FROM members WHERE giid = ?1 AND name = ?2),"
                " (SELECT count(*) FROM invited WHERE giid = ?1),"
                " (SELECT count(*) FROM invited WHERE giid = ?1 AND name = ?2)"
                " FROM instances WHERE giid = ?1");
    int rc = s.Bind(1, giid).Bind(2, player).Step();
    if (rc != SQLITE_ROW) return Done(rc, error);
    if (s.Int(2) != 0) return *joined = true;  // already a member
    if (s.Int(0) == 0 || s.Int(1) >= kMaxRecords) return true;
    if (s.Int(3) != 0 && s.Int(4) == 0) return true;  // for invited players only
    Statement m(db_, "INSERT INTO members(giid, seq, name) VALUES(?1, ?2, ?3)");
    if (!Done(m.Bind(1, giid).Bind(2, s.Int(1)).Bind(3, player).Step(), error)) return false;
    return *joined = *added = true;
  }

  bool Members(uint32_t giid, std::vector<std::string>* members, std::string* error) override {
    members->clear();
    Statement s(db_, "SELECT name FROM members WHERE giid = ?1 ORDER BY seq");
    s.Bind(1, giid);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) members->push_back(s.Text(0));
    return Done(rc, error);
  }

  bool Report(uint32_t giid, const lobby::Report& report, int64_t pairCooldownSeconds,
              Outcome* outcome, std::string* error) override {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    Statement done(db_, "SELECT outcome FROM instances WHERE giid = ?1");
    int rc = done.Bind(1, giid).Step();
    if (rc == SQLITE_ROW && !done.IsNull(0)) {
      *outcome = Outcome();
      if (!UnpackOutcome(done.Blob(0), outcome)) {
        Rollback();
        return Fail("a stored outcome is unreadable", error);
      }
      return Exec("COMMIT", error);
    }
    Statement note(db_,
                   "INSERT OR IGNORE INTO reports(giid, name, vote, scores) VALUES(?1,?2,?3,?4)");
    if (!Done(note.Bind(1, giid)
                  .Bind(2, report.player)
                  .Bind(3, report.vote)
                  .BindBlob(4, report.scores)
                  .Step(),
              error))
      return Rollback();
    std::vector<std::string> names;
    if (!Members(giid, &names, error)) return Rollback();
    std::vector<lobby::Report> reports;
    Statement r(db_, "SELECT name, vote, scores FROM reports WHERE giid = ?1 ORDER BY rowid");
    r.Bind(1, giid);
    while ((rc = r.Step()) == SQLITE_ROW) {
      Bytes scores = r.Blob(2);
      reports.push_back(
          {r.Text(0), static_cast<uint32_t>(r.Int(1)), std::string(scores.begin(), scores.end())});
    }
    if (!Done(rc, error)) return Rollback();
    lobby::Report agreed;
    if (!AgreedReport(names.size(), reports, &agreed)) {
      *outcome = Outcome();
      outcome->pending = true;
      return Exec("COMMIT", error);
    }
    std::vector<Record> before;
    for (const std::string& name : names) {
      before.push_back({name, kStartRating});
      if (!Rating(name, &before.back().rating, error)) return Rollback();
    }
    std::map<std::string, int64_t> last;
    Statement p(db_, "SELECT pair, at FROM pairs WHERE pair = ?1");
    auto lastRated = [&](const std::string& key) {
      sqlite3_reset(p.Raw());
      if (p.BindBlob(1, key).Step() != SQLITE_ROW) return int64_t{0};
      return p.Int(1);
    };
    int64_t now = time(nullptr);
    std::vector<std::string> stamp;
    *outcome = AgreedOutcome(before, agreed, lastRated, now, pairCooldownSeconds, &stamp);
    for (size_t i = 0; i < before.size(); ++i) {
      Statement w(db_,
                  "INSERT INTO ratings(name, rating) VALUES(?1, ?2)"
                  " ON CONFLICT(name) DO UPDATE SET rating = excluded.rating");
      Statement h(db_,
                  "INSERT INTO history(giid, name, score, before, after) VALUES(?1,?2,?3,?4,?5)");
      int64_t score = i < agreed.scores.size() ? static_cast<uint8_t>(agreed.scores[i]) : 0;
      if (!Done(w.Bind(1, names[i]).Bind(2, outcome->players[i].rating).Step(), error) ||
          !Done(h.Bind(1, giid)
                    .Bind(2, names[i])
                    .Bind(3, score)
                    .Bind(4, before[i].rating)
                    .Bind(5, outcome->players[i].rating)
                    .Step(),
                error)) {
        return Rollback();
      }
    }
    for (const std::string& key : stamp) {
      Statement w(db_, "INSERT OR REPLACE INTO pairs(pair, at) VALUES(?1, ?2)");
      if (!Done(w.BindBlob(1, key).Bind(2, now).Step(), error)) return Rollback();
    }
    Statement u(db_, "UPDATE instances SET outcome = ?2 WHERE giid = ?1");
    if (!Done(u.Bind(1, giid).BindBlob(2, PackOutcome(giid, *outcome)).Step(), error))
      return Rollback();
    return Exec("COMMIT", error);
  }

  bool Accuse(uint32_t giid, const std::string& by, const std::string& player,
              std::string* error) override {
    Statement s(db_, "INSERT INTO accusations(giid, by, player) VALUES(?1, ?2, ?3)");
    return Done(s.Bind(1, giid).Bind(2, by).Bind(3, player).Step(), error);
  }

  bool Publish(const Bytes& event, std::string* error) override {
    if (handler_) handler_(event);
    return true;
  }
  void Subscribe(std::function<void(const Bytes&)> handler) override {
    handler_ = std::move(handler);
  }

  bool SetBan(const Ban& ban, std::string* error) override {
    Statement s(db_, "INSERT OR REPLACE INTO bans(name, reason, expires, at) VALUES(?1,?2,?3,?4)");
    return Done(s.Bind(1, ban.name).Bind(2, ban.reason).Bind(3, ban.expires).Bind(4, ban.at).Step(),
                error);
  }

  bool RemoveBan(const std::string& name, bool* removed, std::string* error) override {
    Statement s(db_, "DELETE FROM bans WHERE name = ?1");
    if (!Done(s.Bind(1, name).Step(), error)) return false;
    *removed = sqlite3_changes(db_) > 0;
    return true;
  }

  bool BanOf(const std::string& name, Ban* ban, std::string* error) override {
    std::vector<Ban> found;
    if (!SelectBans("WHERE name = ?1 AND", name, &found, error)) return false;
    *ban = found.empty() ? Ban() : found.front();
    return true;
  }

  bool Bans(std::vector<Ban>* bans, std::string* error) override {
    return SelectBans("WHERE", "", bans, error);
  }

  bool FindAccounts(const std::string& prefix, uint32_t count, std::vector<Record>* accounts,
                    std::string* error) override {
    accounts->clear();
    // The prefix is matched by its length, so that no character in it is a pattern.
    Statement s(db_,
                "SELECT a.name, COALESCE(r.rating, ?3) FROM accounts a"
                " LEFT JOIN ratings r ON r.name = a.name"
                " WHERE substr(a.name, 1, length(?1)) = ?1 COLLATE NOCASE"
                " ORDER BY a.name LIMIT ?2");
    s.Bind(1, prefix).Bind(2, count).Bind(3, kStartRating);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW)
      accounts->push_back({s.Text(0), static_cast<uint32_t>(s.Int(1))});
    return Done(rc, error);
  }

  bool DeleteAccount(const std::string& name, bool* deleted, std::string* error) override {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    Statement a(db_, "DELETE FROM accounts WHERE name = ?1");
    if (!Done(a.Bind(1, name).Step(), error)) return Rollback();
    *deleted = sqlite3_changes(db_) > 0;
    Statement r(db_, "DELETE FROM ratings WHERE name = ?1");
    Statement b(db_, "DELETE FROM bans WHERE name = ?1");
    if (!Done(r.Bind(1, name).Step(), error) || !Done(b.Bind(1, name).Step(), error))
      return Rollback();
    return Exec("COMMIT", error);
  }

  bool Audit(const AuditEntry& entry, std::string* error) override {
    Statement s(db_,
                "INSERT INTO audit(at, action, target, address, detail) VALUES(?1,?2,?3,?4,?5)");
    return Done(s.Bind(1, entry.at)
                    .Bind(2, entry.action)
                    .Bind(3, entry.target)
                    .Bind(4, entry.address)
                    .Bind(5, entry.detail)
                    .Step(),
                error);
  }

  bool AuditLog(uint32_t count, std::vector<AuditEntry>* entries, std::string* error) override {
    entries->clear();
    Statement s(db_,
                "SELECT at, action, target, address, detail FROM"
                " (SELECT rowid, * FROM audit ORDER BY rowid DESC LIMIT ?1) ORDER BY rowid");
    s.Bind(1, count);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW)
      entries->push_back({s.Int(0), s.Text(1), s.Text(2), s.Text(3), s.Text(4)});
    return Done(rc, error);
  }

  bool Chat(const ChatEntry& line, const Bytes& event, std::string* error) override {
    // The line fans out only once this returns, so its history is written without waiting for
    // the disk (a sync a line bounded the chat rate): it survives a crash of the server, as
    // the WAL is in the system's cache, and only a power cut may lose the last lines; the next
    // commit of anything else syncs them as well.
    if (!Exec("PRAGMA synchronous=NORMAL", error)) return false;
    bool kept = KeepChat(line, error);
    if (!Exec("PRAGMA synchronous=FULL", error) || !kept) return false;
    return Publish(event, error);
  }
  bool KeepChat(const ChatEntry& line, std::string* error) {
    Statement s(db_, "INSERT INTO chat(at, sender, text) VALUES(?1, ?2, ?3)");
    if (!Done(s.Bind(1, line.at).Bind(2, line.from).BindBlob(3, line.text).Step(), error))
      return false;
    // Trimmed now and then rather than at every line.
    int64_t id = sqlite3_last_insert_rowid(db_);
    if (id % 64 != 0) return true;
    Statement t(db_, "DELETE FROM chat WHERE id <= ?1");
    return Done(t.Bind(1, id - kChatKept).Step(), error);
  }

  bool ChatTail(uint32_t count, std::vector<ChatEntry>* lines, std::string* error) override {
    lines->clear();
    Statement s(db_,
                "SELECT at, sender, text FROM (SELECT * FROM chat ORDER BY id DESC LIMIT ?1)"
                " ORDER BY id");
    s.Bind(1, std::min(count, kChatKept));
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
      Bytes text = s.Blob(2);
      lines->push_back({s.Int(0), s.Text(1), std::string(text.begin(), text.end())});
    }
    return Done(rc, error);
  }

  bool OpenInstances(uint32_t count, std::vector<InstanceInfo>* instances, uint64_t* total,
                     std::string* error) override {
    instances->clear();
    Statement n(db_, "SELECT count(*) FROM instances WHERE outcome IS NULL");
    int rc = n.Step();
    if (!Done(rc, error)) return false;
    *total = static_cast<uint64_t>(n.Int(0));
    Statement s(db_,
                "SELECT giid, (SELECT count(*) FROM invited i WHERE i.giid = instances.giid)"
                " FROM instances WHERE outcome IS NULL ORDER BY giid DESC LIMIT ?1");
    s.Bind(1, count);
    while ((rc = s.Step()) == SQLITE_ROW) {
      instances->push_back({static_cast<uint32_t>(s.Int(0)), {}, s.Int(1) != 0});
      if (!Members(instances->back().giid, &instances->back().members, error)) return false;
    }
    return Done(rc, error);
  }

  bool Ping(std::string* error) override { return Exec("SELECT 1", error); }

  // A SQLite lobby has one server: who is online lives in this process, which is all of it.
  bool Heartbeat(const ServerInfo& server, const std::vector<OnlinePlayer>* resync,
                 std::string* error) override {
    servers_[server.id] = server;
    if (resync != nullptr) {
      online_.erase(server.id);
      for (const OnlinePlayer& player : *resync) online_[server.id][player.name] = player;
    }
    return true;
  }
  bool SetOnline(const OnlinePlayer& player, bool online, std::string* error) override {
    auto& here = online_[player.server];
    auto found = here.find(player.name);
    if (online) {
      here[player.name] = player;
    } else if (found != here.end() && found->second.since == player.since) {
      here.erase(found);  // not when the entry is of a newer login
    }
    return true;
  }
  bool Leave(const std::string& server, std::string* error) override {
    servers_.erase(server);
    online_.erase(server);
    return true;
  }
  bool Online(std::vector<ServerInfo>* servers, std::vector<OnlinePlayer>* players,
              std::string* error) override {
    servers->clear();
    players->clear();
    int64_t now = UnixMs();
    for (auto it = servers_.begin(); it != servers_.end();) {
      if (now - it->second.heartbeat > kServerGone.count()) {
        online_.erase(it->first);
        it = servers_.erase(it);
        continue;
      }
      servers->push_back(it->second);
      for (const auto& entry : online_[it->first]) players->push_back(entry.second);
      ++it;
    }
    Deduplicate(players);
    return true;
  }

 private:
  bool Done(int rc, std::string* error) {
    if (rc == SQLITE_ROW || rc == SQLITE_DONE || rc == SQLITE_OK) return true;
    return Fail(sqlite3_errmsg(db_), error);
  }
  static bool Fail(const std::string& what, std::string* error) {
    *error = "SQLite: " + what;
    return false;
  }
  bool Exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    *error = std::string("SQLite: ") + (message != nullptr ? message : "failed");
    sqlite3_free(message);
    return false;
  }
  // The bans in force, with a condition (`where` ends in AND or WHERE) on ?1.
  bool SelectBans(const std::string& where, const std::string& name, std::vector<Ban>* bans,
                  std::string* error) {
    bans->clear();
    Statement s(db_, ("SELECT name, reason, expires, at FROM bans " + where +
                      " (expires = 0 OR expires > ?2) ORDER BY name")
                         .c_str());
    if (!name.empty()) s.Bind(1, name);
    s.Bind(2, UnixMs());
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW)
      bans->push_back({s.Text(0), s.Text(1), s.Int(2), s.Int(3)});
    return Done(rc, error);
  }

  bool Rollback() {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }

  sqlite3* db_;
  std::function<void(const Bytes&)> handler_;
  std::map<std::string, ServerInfo> servers_;
  std::map<std::string, std::map<std::string, OnlinePlayer>> online_;
};

// The file holds password hashes: a new one is made readable by its owner only, and an old one
// that others may read gets a warning.
void GuardFile(const std::string& path) {
  if (path.empty() || path == ":memory:") return;
  int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 0777));
    Log(LogLevel::kWarning, "store-readable",
        path + " holds password hashes and others may read it (mode " + mode +
            "); make it 0600 with chmod");
  }
}

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, std::string* error) {
  GuardFile(path);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    *error = "can't open " + path + ": " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 2000);
  char* message = nullptr;
  if (sqlite3_exec(db, kSchema, nullptr, nullptr, &message) != SQLITE_OK) {
    *error = "can't set up " + path + ": " + (message != nullptr ? message : "failed");
    sqlite3_free(message);
    sqlite3_close(db);
    return nullptr;
  }
  return std::make_unique<SqliteStore>(db);
}

}  // namespace lobby
