// Per-address limits: which addresses count as one.
#include <gtest/gtest.h>

#include "address_key.h"

namespace {

TEST(AddressKey, OneKeyPerIPv4AddressAndPerIPv6Slash64) {
  const std::pair<const char*, const char*> cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"::ffff:192.0.2.7", "192.0.2.7"},  // IPv4 through an IPv6 socket: the same player
      {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
      {"2001:db8:1:2::1", "2001:db8:1:2::/64"},
      {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
  };
  for (const auto& [address, key] : cases)
    EXPECT_EQ(lobby::AddressKey(boost::asio::ip::make_address(address)), key) << address;
}

}  // namespace
