// The player's page, below its server: who may use it, what it accepts from a page, how texts
// reach it, and what it keeps for a page opened later.
#include <gtest/gtest.h>

#include <string>

#include "page_access.h"
#include "page_command.h"
#include "page_model.h"

namespace mp {
namespace {

const char kToken[] = "0123456789abcdef0123456789abcdef";

TEST(PageAccess, EveryRequestPassesTheRulesOrIsRefusedWithItsStatus) {
  PageAccess access = MakePageAccess("127.0.0.1", 4000, kToken);
  const std::string t = std::string("?token=") + kToken;
  const std::string own = "http://127.0.0.1:4000";
  // The fields after the target, when a row leaves them out: a GET of the page's own host,
  // without Origin, upgrade or token header.
  struct Row {
    const char* what;
    int status;
    std::string target, method = "GET", origin = "";
    bool upgrade = false;
    std::string header = "", host = "127.0.0.1:4000";
  } rows[] = {
      {"the page", 200, "/" + t},
      {"by localhost", 200, "/" + t, "GET", "", false, "", "localhost:4000"},
      {"HEAD", 200, "/app.js" + t, "HEAD"},
      {"token in the header", 200, "/", "GET", "", false, kToken},
      {"token among other fields", 200, "/?a=1&token=" + std::string(kToken) + "&b"},
      {"no token", 403, "/"},
      {"a token one digit short", 403, "/" + t.substr(0, t.size() - 1)},
      {"a wrong header beside no query", 403, "/", "GET", "", false, "x"},
      {"a rebound name", 403, "/" + t, "GET", "", false, "", "evil.example:4000"},
      {"another port", 403, "/" + t, "GET", "", false, "", "127.0.0.1:4001"},
      {"no Host", 403, "/" + t, "GET", "", false, "", ""},
      {"WebSocket", 200, "/ws" + t, "GET", own, true},
      {"WebSocket without Origin", 403, "/ws" + t, "GET", "", true},
      {"WebSocket from elsewhere", 403, "/ws" + t, "GET", "http://evil.example", true},
      {"WebSocket from a null origin", 403, "/ws" + t, "GET", "null", true},
      {"WebSocket elsewhere than /ws", 404, "/" + t, "GET", own, true},
      {"/ws without the upgrade", 426, "/ws" + t, "GET", own},
      {"POST from elsewhere", 403, "/" + t, "POST", "http://evil.example"},
      {"POST without Origin", 403, "/" + t, "POST"},
      {"POST of its own", 405, "/" + t, "POST", own},
      {"a GET with a foreign Origin", 403, "/" + t, "GET", "http://evil.example"},
      {"an absolute target", 400, "http://127.0.0.1:4000/" + t},
      {"a broken escape", 400, "/%4" + t},
      {"a broken escape in the token", 400, "/?token=%zz"},
      {"an escaped token", 200, "/?token=%30123456789abcdef0123456789abcdef"},
  };
  for (const Row& row : rows) {
    PageRequest request{row.method, row.target, row.host, row.origin, row.header, row.upgrade};
    EXPECT_EQ(CheckPageRequest(access, request).status, row.status) << row.what;
  }
  EXPECT_EQ(
      CheckPageRequest(access, {"GET", "/style.css" + t, "127.0.0.1:4000", "", "", false}).path,
      "/style.css");
  EXPECT_EQ(
      CheckPageRequest(access, {"GET", "/a%2fb%2Fc%7e" + t, "127.0.0.1:4000", "", "", false}).path,
      "/a/b/c~");
  // An IPv6 page names its address in brackets.
  PageAccess six = MakePageAccess("::1", 4000, kToken);
  EXPECT_EQ(CheckPageRequest(six, {"GET", "/" + t, "[::1]:4000", "", "", false}).status, 200);
  EXPECT_EQ(CheckPageRequest(six, {"GET", "/" + t, "::1:4000", "", "", false}).status, 403);
}

TEST(PageAccess, OnlyLoopbackAddressesAndFreshTokens) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1"}) EXPECT_TRUE(IsLoopbackHost(host));
  for (const char* host : {"0.0.0.0", "128.0.0.1", "10.0.0.1", "127.0.0.256", "127.0.0.1x",
                           "127.0.0", "localhost", "::", "", " 127.0.0.1", "127.0.0.1.1"})
    EXPECT_FALSE(IsLoopbackHost(host)) << host;
  std::string a = NewPageToken();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, NewPageToken());
}

TEST(PageText, EveryByteSurvivesTheWayToThePageAndBack) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  std::string back;
  ASSERT_TRUE(Utf8ToLatin1(Latin1ToUtf8(all), &back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(Latin1ToUtf8("caf\xe9"), "caf\xc3\xa9");
  ASSERT_TRUE(Utf8ToLatin1("\xe2\x82\xac and \xf0\x9f\x98\x80", &back));
  EXPECT_EQ(back, "? and ?");  // beyond ISO 8859-1
  for (const char* broken : {"\xc3", "\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                             "\xf4\x90\x80\x80", "\xff", "a\xc3("}) {
    EXPECT_FALSE(Utf8ToLatin1(broken, &back)) << Latin1ToUtf8(broken);
  }
}

TEST(PageCommands, AreCheckedFieldByField) {
  using Kind = PageCommand::Kind;
  const std::string longest(255, 'a');
  const struct {
    std::string message;
    Kind kind;
    std::string field;  // the player or the text it carries
  } accepted[] = {
      {R"({"do":"signin","player":"Ada","password":"secret"})", Kind::kSignIn, "Ada"},
      {R"({"do":"signup","player":"Jos\u00e9","password":"x"})", Kind::kSignUp, "Jos\xe9"},
      {R"({"do":"chat","text":"<img src=x>"})", Kind::kChat, "<img src=x>"},
      {R"({"do":"chat","text":")" + longest + "\"}", Kind::kChat, longest},
  };
  for (const auto& row : accepted) {
    PageCommand command;
    std::string problem;
    ASSERT_TRUE(ParsePageCommand(row.message, &command, &problem)) << row.message << problem;
    EXPECT_EQ(problem, "");
    EXPECT_EQ(command.kind, row.kind) << row.message;
    EXPECT_EQ(row.kind == Kind::kChat ? command.text : command.player, row.field);
  }
  const std::string refused[] = {
      R"({"do":"chat","text":")" + longest + "a\"}",
      R"({"do":"chat","text":""})",
      R"({"do":"chat","text":5})",
      R"({"do":"signin","player":")" + std::string(32, 'a') + R"(","password":"p"})",
      R"({"do":"signin","player":"Ada","password":")" + std::string(129, 'p') + "\"}",
      R"({"do":"signin","player":"Ada"})",
      R"({"do":"signin","player":"","password":"p"})",
      R"({"do":"shutdown"})",
      R"(["chat","hi"])",
      R"({"do":"chat","text":"hi")",
      "",
  };
  for (const std::string& message : refused) {
    PageCommand command;
    std::string problem;
    EXPECT_FALSE(ParsePageCommand(message, &command, &problem)) << message;
    EXPECT_NE(problem, "") << message;
  }
}

TEST(PageModel, KeepsTheRecentPastWithinItsBounds) {
  PageModel model("lobby", "lobby.example:7400", true);
  for (size_t i = 0; i < kPageChatLines + 50; ++i) model.Chat("Bram", "line " + std::to_string(i));
  for (uint32_t giid = 1; giid <= kPageInstances + 10; ++giid) model.Instance(giid, 1, "Ada");
  for (size_t i = 0; i < kPageGameLines + 5; ++i) model.GameLine("in", std::to_string(i));
  for (size_t i = 0; i < kPageVotesPerInstance + 5; ++i) model.Vote(60, 1, "Cleo");
  for (size_t i = 0; i < kPageMembers + 5; ++i) model.Joined(60, "P" + std::to_string(i));
  Json snapshot = model.Snapshot();
  ASSERT_EQ(snapshot["chat"].size(), kPageChatLines);
  EXPECT_EQ(snapshot["chat"].front()["text"], "line 50");
  EXPECT_EQ(snapshot["chat"].back()["text"], "line 249");
  ASSERT_EQ(snapshot["instances"].size(), kPageInstances);
  EXPECT_EQ(snapshot["instances"].front()["giid"], 11);
  EXPECT_EQ(snapshot["instances"].back()["votes"].size(), kPageVotesPerInstance);
  EXPECT_EQ(snapshot["instances"].back()["members"].size(), kPageMembers);
  EXPECT_EQ(snapshot["game"]["lines"].size(), kPageGameLines);
  EXPECT_EQ(snapshot["game"]["lines"].back()["line"], std::to_string(kPageGameLines + 4));
}

TEST(PageModel, AnInstanceGathersItsMembersVotesAndResults) {
  PageModel model("lobby", "", false);
  // Heard of before its start (a join of an instance older than meetpoint): no creator.
  Json early = model.Joined(7, "Bram");
  EXPECT_TRUE(early["instance"]["creator"].is_null());
  model.Instance(9, 3, "Ada");
  model.Joined(9, "Bram");
  model.Joined(9, "Ada");  // the creator is a member already
  model.Vote(9, 2, "Bram");
  Json update = model.Results(9, 1, {{"Ada", 1010}, {"Bram\xe9", 990}});
  EXPECT_EQ(update["kind"], "instance");
  const Json& nine = update["instance"];
  EXPECT_EQ(nine["creator"], "Ada");
  EXPECT_EQ(nine["votingFlags"], 3);
  EXPECT_EQ(nine["members"], Json({"Ada", "Bram"}));
  EXPECT_EQ(nine["votes"][0]["voter"], "Bram");
  EXPECT_EQ(nine["results"]["players"],
            Json::array({Json::array({"Ada", 1010}), Json::array({"Bram\xc3\xa9", 990})}));
  EXPECT_EQ(model.Snapshot()["instances"].size(), 2u);
  // The snapshot holds what the updates said.
  EXPECT_EQ(model.Snapshot()["instances"][1], nine);
  // Results that name the player signed in bring the player's rating.
  model.Me("Ada", 1000);
  EXPECT_EQ(model.Ratings({{"Bram", 900}, {"Ada", 1020}})["me"]["rating"], 1020);
  EXPECT_FALSE(model.Online(1, {{"Bram", 900}}).contains("me"));
  model.Link("lost", "went away");
  Json snapshot = model.Snapshot();
  EXPECT_EQ(snapshot["link"]["state"], "lost");
  EXPECT_EQ(snapshot["me"], Json({{"player", "Ada"}, {"rating", 1020}}));
  EXPECT_FALSE(snapshot["signIn"].get<bool>());
}

}  // namespace
}  // namespace mp
