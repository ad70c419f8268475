#include "address_key.h"

#include <algorithm>

namespace lobby {

std::string AddressKey(const asio::ip::address& address) {
  if (address.is_v4()) return address.to_string();
  asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

}  // namespace lobby
