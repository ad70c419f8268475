// Networking for rallylobby, its load tool and meetpoint's relay: Boost.Asio's event loop (with
// OpenSSL streams where TLS is OpenSSL's), so that Boost.Beast's HTTP and WebSocket run on the
// same loop. The alias lets the code read as plain Asio.
#pragma once

#include <boost/asio.hpp>

namespace asio = boost::asio;
using ErrorCode = boost::system::error_code;
