// One connection from meetpoint's relay to a lobby server: a TCP socket, and TLS over it unless
// the relay runs plain. The relay's logic (relay.cpp) is the same on every system; the TLS
// differs: OpenSSL on Linux (lobby_stream_openssl.cpp), Windows' own Schannel on Windows
// (lobby_stream_schannel.cpp). Both trust either the system's certificates or exactly those of
// one PEM file, check that the server's certificate names the host, and speak TLS 1.2 or later.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "net.h"

namespace mp {

// Why a TLS handshake failed, so that the relay says it in the same words on every system.
enum class TlsFailure {
  kNone,
  kUntrusted,  // the certificate's chain ends at no certificate we trust
  kWrongName,  // the certificate does not name the host
  kExpired,    // a certificate of the chain has expired, or is not valid yet
  kNotTls,     // the server answered, but not in TLS
  kOther,      // anything else (no common version or cipher, a reset, ...)
};

// The certificates to trust and the TLS settings, made once for every connection.
struct LobbyTls;
// caFile: a PEM file whose certificates are trusted, and only they; empty: the system's store.
// Null with *error when the file can't be read or holds no certificate.
std::shared_ptr<LobbyTls> MakeLobbyTls(const std::string& caFile, std::string* error);

class LobbyStream {
 public:
  using Handler = std::function<void(const ErrorCode&, size_t)>;
  // detail: the TLS library's own words, for kOther.
  using HandshakeHandler = std::function<void(TlsFailure, const std::string& detail)>;

  virtual ~LobbyStream() = default;
  // The TCP connection under it: connected by the relay, closed to abort what is pending.
  virtual asio::ip::tcp::socket& Socket() = 0;
  // Once connected: the client's TLS handshake with the server named host (plain: none).
  virtual void AsyncHandshake(const std::string& host, HandshakeHandler done) = 0;
  virtual void AsyncReadSome(asio::mutable_buffer buffer, Handler done) = 0;
  // Writes all of buffer, which must live until done runs.
  virtual void AsyncWrite(asio::const_buffer buffer, Handler done) = 0;
};

// A stream over TLS with these settings, or plain TCP when tls is null.
std::shared_ptr<LobbyStream> MakeLobbyStream(asio::io_context& io,
                                             const std::shared_ptr<LobbyTls>& tls);
// The TLS stream of this system.
std::shared_ptr<LobbyStream> MakeTlsStream(asio::io_context& io,
                                           const std::shared_ptr<LobbyTls>& tls);

}  // namespace mp
