// The registry views of 64-bit Windows (Windows only).
#include <gtest/gtest.h>

#include "support/session_fixture.h"

namespace {

class RegistryViewTest : public SessionTest {};

// A Meetpoint of the other width writes its key into the other registry view: the library
// reads its own view, and the other one when its own has no key.
TEST_F(RegistryViewTest, TheOtherRegistryViewServesWhenTheOwnHasNoKey) {
  RawSocket other = RawSocket::Listen();
  RawSocket own = RawSocket::Listen();
  DeleteClientPortKey();
  SetClientPortValueInOtherView(std::to_string(other.Port()));
  EXPECT_EQ(RLInitialise(0, 0), 0);
  EXPECT_EQ(LogFrom("Success, WSA initialised"),
            (std::vector<std::string>{"Success, WSA initialised",
                                      "ClientPort is " + std::to_string(other.Port()),
                                      "Starting message thread"}));
  RawSocket game = other.Accept(5000);
  EXPECT_TRUE(game.Valid());
  EXPECT_EQ(RLShutdown(), 0);

  SetClientPortValue(std::to_string(own.Port()));
  EXPECT_EQ(RLInitialise(0, 0), 0);
  EXPECT_EQ(CountLog("ClientPort is " + std::to_string(own.Port())), 1u);
  game = own.Accept(5000);
  EXPECT_TRUE(game.Valid());
  EXPECT_EQ(RLShutdown(), 0);
  DeleteClientPortKey();
}

}  // namespace
