// The key under which per-address limits count a connection.
#pragma once

#include <string>

#include "net.h"

namespace lobby {

// An IPv4 address as it is (an IPv4-mapped IPv6 address as IPv4), or an IPv6 address's /64:
// what one customer of a provider usually gets, so that one customer can't escape the limits
// by moving through the addresses of their own network.
std::string AddressKey(const asio::ip::address& address);

}  // namespace lobby
