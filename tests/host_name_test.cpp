// The host-name rule that the Windows relay applies to a server's certificate: one table of
// names and hosts, each with whether the name covers the host.
#include <gtest/gtest.h>

#include "host_name.h"

namespace {

struct Case {
  const char* name;
  const char* host;
  bool matches;
};

const Case kCases[] = {
    {"localhost", "localhost", true},
    {"LocalHost", "localHOST", true},
    {"lobby.example.com", "lobby.example.com.", true},
    {"lobby.example.com", "lobby.example.co", false},
    {"", "", false},
    {"*.example.com", "lobby.example.com", true},
    {"*.Example.com", "LOBBY.example.COM", true},
    {"*.example.com", "example.com", false},
    {"*.example.com", "a.lobby.example.com", false},
    {"*.example.com", "lobby.example.org", false},
    {"*.com", "example.com", false},
    {"l*.example.com", "lobby.example.com", false},
    {"*", "localhost", false},
};

TEST(HostName, TableOfNamesAndHosts) {
  for (const Case& c : kCases) {
    EXPECT_EQ(mp::HostNameMatches(c.name, c.host), c.matches)
        << "name \"" << c.name << "\", host \"" << c.host << "\"";
  }
}

}  // namespace
