// The stores' contract, the same cases against SQLite and a real redis-server (started here):
// names in any case, account search and deletion (the ratings table is lobby_test.py's
// sign_up, on both stores), bans and their expiry, the
// audit log, the chat tail, open instances, joins, and who is online. A difference between the
// two stores is a fault in one of them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "json_text.h"
#include "names.h"
#include "store.h"

using namespace lobby;

namespace lobby {
void PrintTo(const Record& record, std::ostream* out) {
  *out << record.name << ":" << record.rating;
}
}  // namespace lobby

namespace {

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  close(s);
  return ntohs(address.sin_port);
}

// A redis-server of the test's own, for as long as the tests run.
class Redis {
 public:
  Redis() : port_(FreePort()) {
    char folder[] = "/tmp/store-test-XXXXXX";
    dir_ = mkdtemp(folder);
    // A child of this process, ended and waited for at the end, so that nothing is left over.
    std::string port = std::to_string(port_);
    std::vector<std::string> args = {"redis-server", "--port",    port,         "--bind",
                                     "127.0.0.1",    "--save",    "",           "--dir",
                                     dir_,           "--logfile", dir_ + "/log"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "redis-server", nullptr, nullptr, argv.data(), environ) != 0) return;
    // Up to 10 s for it to answer: a machine under load starts it slowly.
    for (int i = 0; i < 200 && store_ == nullptr; ++i) {
      std::string error;
      store_ = OpenStore(Where(), &error);
      if (store_ == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~Redis() {
    store_.reset();
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::string Where() const { return "redis://127.0.0.1:" + std::to_string(port_); }
  bool Up() const { return store_ != nullptr; }
  // Empties it between cases.
  void Flush() {
    system(("redis-cli -p " + std::to_string(port_) + " FLUSHALL >/dev/null").c_str());
  }

 private:
  int port_;
  pid_t pid_ = 0;
  std::string dir_;
  std::unique_ptr<Store> store_;
};

Redis& SharedRedis() {
  static Redis redis;
  return redis;
}

class StoreContract : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string error;
    if (std::string(GetParam()) == "redis") {
      ASSERT_TRUE(SharedRedis().Up()) << "redis-server did not start";
      SharedRedis().Flush();
      store_ = OpenStore(SharedRedis().Where(), &error);
    } else {
      store_ = OpenStore(":memory:", &error);
    }
    ASSERT_NE(store_, nullptr) << error;
  }
  void Add(const std::string& name, AddResult expected = AddResult::kAdded, bool replace = false) {
    AddResult result = AddResult::kTaken;
    ASSERT_TRUE(store_->AddAccount({name, "hash of " + name}, replace, &result, &error_));
    EXPECT_EQ(result, expected) << name;
  }
  std::vector<Record> Top(uint32_t count) {
    std::vector<Record> records;
    EXPECT_TRUE(store_->TopRatings(count, &records, &error_)) << error_;
    return records;
  }
  std::unique_ptr<Store> store_;
  std::string error_;
};

TEST_P(StoreContract, NamesAreOneAccountInAnyCase) {
  Add("Ada");
  Add("ada", AddResult::kTaken);
  Add("ADA", AddResult::kTaken, true);  // a new password goes to the name as stored only
  Add("Ada", AddResult::kTaken);
  Add("Ada", AddResult::kReplaced, true);
  for (const char* typed : {"ada", "aDA", "Ada"}) {
    Account account;
    ASSERT_TRUE(store_->FindAccount(typed, &account, &error_));
    EXPECT_EQ(account.name, "Ada");
    EXPECT_EQ(account.hash, "hash of Ada");
  }
  Account nobody;
  ASSERT_TRUE(store_->FindAccount("Adam", &nobody, &error_));
  EXPECT_TRUE(nobody.hash.empty());
}

TEST_P(StoreContract, AccountsFoundByPrefixAndDeleted) {
  for (const char* name : {"Ada", "adam", "Al_x", "Alba", "Bram"}) Add(name);
  std::vector<Record> found;
  ASSERT_TRUE(store_->FindAccounts("AD", 10, &found, &error_));
  EXPECT_EQ(found, (std::vector<Record>{{"Ada", 1000}, {"adam", 1000}}));
  ASSERT_TRUE(store_->FindAccounts("al_", 10, &found, &error_));  // no pattern characters
  EXPECT_EQ(found, (std::vector<Record>{{"Al_x", 1000}}));
  ASSERT_TRUE(store_->FindAccounts("", 2, &found, &error_));
  EXPECT_EQ(found.size(), 2u);
  ASSERT_TRUE(store_->SetBan({"Ada", "spam", 0, 1}, &error_));
  bool deleted = false;
  ASSERT_TRUE(store_->DeleteAccount("Ada", &deleted, &error_));
  EXPECT_TRUE(deleted);
  ASSERT_TRUE(store_->DeleteAccount("Ada", &deleted, &error_));
  EXPECT_FALSE(deleted);
  ASSERT_TRUE(store_->FindAccounts("ad", 10, &found, &error_));
  EXPECT_EQ(found, (std::vector<Record>{{"adam", 1000}}));
  EXPECT_EQ(Top(10),
            (std::vector<Record>{{"Al_x", 1000}, {"Alba", 1000}, {"Bram", 1000}, {"adam", 1000}}));
  Ban ban;
  ASSERT_TRUE(store_->BanOf("Ada", &ban, &error_));
  EXPECT_TRUE(ban.name.empty()) << "the deleted account's ban stayed";
  Add("ada");  // the name is free again, in any case
}

TEST_P(StoreContract, BansHoldUntilTheyEndOrAreLifted) {
  int64_t now = UnixMs();
  ASSERT_TRUE(store_->SetBan({"Ada", "cheating", now + 60000, now}, &error_));
  ASSERT_TRUE(store_->SetBan({"Bram", "spam", 0, now}, &error_));
  ASSERT_TRUE(store_->SetBan({"Cleo", "over", now - 1, now - 1000}, &error_));
  Ban ban;
  ASSERT_TRUE(store_->BanOf("Ada", &ban, &error_));
  EXPECT_EQ(ban.reason, "cheating");
  EXPECT_EQ(ban.expires, now + 60000);
  ASSERT_TRUE(store_->BanOf("Cleo", &ban, &error_));
  EXPECT_TRUE(ban.name.empty()) << "an ended ban is in force";
  std::vector<Ban> bans;
  ASSERT_TRUE(store_->Bans(&bans, &error_));
  ASSERT_EQ(bans.size(), 2u);
  EXPECT_EQ(bans[0].name + bans[1].name, "AdaBram");
  ASSERT_TRUE(store_->SetBan({"Ada", "again", 0, now}, &error_));  // replaces the first
  ASSERT_TRUE(store_->BanOf("Ada", &ban, &error_));
  EXPECT_EQ(ban.reason + std::to_string(ban.expires), "again0");
  bool removed = false;
  ASSERT_TRUE(store_->RemoveBan("Ada", &removed, &error_));
  EXPECT_TRUE(removed);
  ASSERT_TRUE(store_->RemoveBan("Ada", &removed, &error_));
  EXPECT_FALSE(removed);
  EXPECT_EQ(BanText({"Bram", "spam", 0, 0}), "Bram is banned for good: spam");
  EXPECT_EQ(BanText({"Ada", "x", 1796601600000, 0}), "Ada is banned until 2026-12-07T00:00:00Z: x");
}

TEST_P(StoreContract, AuditAndChatKeepTheNewestInOrder) {
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(store_->Audit({i, "ban" + std::to_string(i), "P" + std::to_string(i), "127.0.0.1",
                               "for " + std::to_string(i)},
                              &error_));
  std::vector<AuditEntry> audit;
  ASSERT_TRUE(store_->AuditLog(2, &audit, &error_));
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_EQ(audit[0].target + audit[1].target, "P3P4");
  EXPECT_EQ(audit[1].at, 4);
  EXPECT_EQ(audit[1].action + " " + audit[1].address + " " + audit[1].detail,
            "ban4 127.0.0.1 for 4");
  for (uint32_t i = 0; i < kChatKept + 70; ++i) {
    std::string text = "line " + std::to_string(i) + std::string(1, '\0') + "\xff";
    ASSERT_TRUE(store_->Chat({i, "Ada", text}, {}, &error_));
  }
  std::vector<ChatEntry> chat;
  ASSERT_TRUE(store_->ChatTail(1000, &chat, &error_));
  ASSERT_EQ(chat.size(), kChatKept);
  EXPECT_EQ(chat.back().text, "line 269" + std::string(1, '\0') + "\xff");
  EXPECT_EQ(chat.front().at, 70);
  EXPECT_EQ(chat.front().from, "Ada");
}

TEST_P(StoreContract, OpenInstancesAndNewMembers) {
  uint32_t giid[3] = {};
  for (uint32_t& number : giid) ASSERT_TRUE(store_->NewInstance("Ada", {}, 0, &number, &error_));
  uint32_t invited = 0;
  ASSERT_TRUE(store_->NewInstance("Bram", {"Ada"}, 0, &invited, &error_));
  bool joined = false;
  bool added = false;
  ASSERT_TRUE(store_->Join(giid[0], "Cleo", &joined, &added, &error_));
  EXPECT_TRUE(joined && added);
  ASSERT_TRUE(store_->Join(giid[0], "Cleo", &joined, &added, &error_));
  EXPECT_TRUE(joined && !added) << "joining again is no new member";
  Outcome outcome;
  for (const char* member : {"Ada", "Cleo"})
    ASSERT_TRUE(store_->Report(giid[0], {member, 1, "\x01\x02"}, 0, &outcome, &error_));
  std::vector<InstanceInfo> open;
  uint64_t total = 0;
  ASSERT_TRUE(store_->OpenInstances(2, &open, &total, &error_));
  EXPECT_EQ(total, 3u);
  ASSERT_EQ(open.size(), 2u);
  EXPECT_EQ(open[0].giid, invited);
  EXPECT_TRUE(open[0].invitedOnly);
  EXPECT_EQ(open[0].members, std::vector<std::string>{"Bram"});
  EXPECT_EQ(open[1].giid, giid[2]);
  EXPECT_FALSE(open[1].invitedOnly);
}

TEST_P(StoreContract, WhoIsOnlineWhere) {
  int64_t now = UnixMs();
  for (const char* id : {"one", "two"})
    ASSERT_TRUE(store_->Heartbeat({id, std::string("server ") + id, "127.0.0.1:1", 1, now, now},
                                  nullptr, &error_));
  OnlinePlayer ada{"Ada", "one", "127.0.0.2:5", now - 10};
  OnlinePlayer adaMoved{"Ada", "two", "127.0.0.3:6", now};
  OnlinePlayer bram{"Bram", "one", "127.0.0.4:7", now};
  for (const OnlinePlayer* player : {&ada, &adaMoved, &bram})
    ASSERT_TRUE(store_->SetOnline(*player, true, &error_));
  std::vector<ServerInfo> servers;
  std::vector<OnlinePlayer> players;
  ASSERT_TRUE(store_->Online(&servers, &players, &error_));
  ASSERT_EQ(servers.size(), 2u);
  ASSERT_EQ(players.size(), 2u) << "a player on two servers counts once";
  EXPECT_EQ(players[0].server + players[0].address, "two127.0.0.3:6");
  // Taken off only by the entry's own login, not an older one's.
  OnlinePlayer older = bram;
  older.since -= 1;
  ASSERT_TRUE(store_->SetOnline(older, false, &error_));
  ASSERT_TRUE(store_->Online(&servers, &players, &error_));
  EXPECT_EQ(players.size(), 2u);
  ASSERT_TRUE(store_->Leave("two", &error_));
  std::vector<OnlinePlayer> resync = {bram};
  ASSERT_TRUE(
      store_->Heartbeat({"one", "server one", "127.0.0.1:1", 1, now, now}, &resync, &error_));
  ASSERT_TRUE(store_->Online(&servers, &players, &error_));
  ASSERT_EQ(players.size(), 1u);
  EXPECT_EQ(players[0].name, "Bram");
  EXPECT_EQ(servers.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContract, testing::Values("sqlite", "redis"),
                         [](const testing::TestParamInfo<const char*>& store) {
                           return std::string(store.param);
                         });

// Texts from the lobby through JSON and back: every byte, whole.
TEST(JsonText, EveryByteComesBackWhole) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  std::string back;
  ASSERT_TRUE(LobbyText(JsonText(all), &back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(JsonText("Zo\xeb"), "Zo\xc3\xab");
  ASSERT_TRUE(LobbyText("\xc3\xa9t\xc3\xa9", &back));  // what was there goes
  EXPECT_EQ(back, "\xe9t\xe9");
  for (const char* refused : {"\xc4\x81", "\xc3", "\xc3(", "\xe2\x82\xac", "\xff", "\x80"})
    EXPECT_FALSE(LobbyText(refused, &back)) << refused;
}

TEST(Names, RulesAndFolding) {
  EXPECT_EQ(FoldName("AdA Zz@[`{"), "ada zz@[`{");
  for (const char* good : {"A", "Ada Lovelace", "~!x", "1234567890123456789012345678901"})
    EXPECT_TRUE(ValidName(good)) << good;
  for (const char* bad :
       {"", " Ada", "Ada ", "A\x1f", "A\x7f", "Zo\xeb", "12345678901234567890123456789012"})
    EXPECT_FALSE(ValidName(bad)) << bad;
  EXPECT_FALSE(ValidPassword("1234567"));
  EXPECT_TRUE(ValidPassword("12345678"));
  EXPECT_TRUE(ValidPassword(std::string(128, 'x')));
  EXPECT_FALSE(ValidPassword(std::string(129, 'x')));
}

}  // namespace
