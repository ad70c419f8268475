// The server's TLS settings, in one place for the server and for the programs that must
// match it (the fan-out floor that the load runs measure the server against).
#pragma once

#include <openssl/ssl.h>

namespace lobby {

// TLS 1.2 or later. On TLS 1.2 the ciphers of the common "intermediate" server profile: ECDHE
// key exchange with an AEAD cipher only (forward secrecy, no CBC); TLS 1.3 keeps OpenSSL's
// defaults.
void UseServerTlsProfile(SSL_CTX* context);

}  // namespace lobby
