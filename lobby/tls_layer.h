// TLS by OpenSSL, with the caller moving the bytes: ciphertext read from the socket goes in,
// plaintext comes out; plaintext goes in, ciphertext comes out for the caller to write. OpenSSL
// does the whole protocol (handshake, records, alerts, close_notify); this layer only lends it
// the caller's buffers through a BIO of its own for the length of each call.
//
// So a connection between records holds OpenSSL's connection state and nothing else: no
// buffer of the layer's, and OpenSSL's own record buffers are released once empty
// (SSL_MODE_RELEASE_BUFFERS). A record that arrived in part keeps OpenSSL's read buffer until
// the rest comes.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol.h"

namespace lobby {

class TlsLayer {
 public:
  enum class Role { kServer, kClient };
  // hostName (a client's): sent as SNI, and checked against the certificate when the context
  // verifies its peer.
  TlsLayer(SSL_CTX* context, Role role, const std::string& hostName = "");
  ~TlsLayer();
  TlsLayer(const TlsLayer&) = delete;
  TlsLayer& operator=(const TlsLayer&) = delete;

  // A client's first flight (ClientHello), appended to *out.
  void Start(Bytes* out);
  // Lends OpenSSL these ciphertext bytes for the Read calls that follow; the caller keeps them
  // alive until Read has returned kNeedMore.
  void Take(const uint8_t* data, size_t size);
  enum class Status { kData, kNeedMore, kClosed, kFailed };
  // Up to `room` bytes of plaintext into `into` (*got of them, with kData). Handshake messages,
  // alerts and the answer to a close_notify that OpenSSL sends meanwhile are appended to *out.
  // kNeedMore: every byte taken has been used (a record may wait for its rest inside OpenSSL);
  // kClosed: the peer sent close_notify; kFailed: a TLS error (Error() says which), after
  // which *out may hold the alert that tells the peer.
  Status Read(uint8_t* into, size_t room, size_t* got, Bytes* out);
  // Plaintext in, its records appended to *out. False on a TLS error.
  bool Write(const uint8_t* data, size_t size, Bytes* out);
  // close_notify, appended to *out.
  void Shutdown(Bytes* out);

  bool Established() const { return SSL_is_init_finished(ssl_) == 1; }
  const std::string& Error() const { return error_; }

 private:
  static BIO_METHOD* Method();
  static int BioRead(BIO* bio, char* data, int size);
  static int BioWrite(BIO* bio, const char* data, int size);
  static long BioCtrl(BIO* bio, int command, long number, void* pointer);
  void Failed(int result);

  SSL* ssl_;
  const uint8_t* in_ = nullptr;  // lent by Take
  size_t inSize_ = 0;
  Bytes* out_ = nullptr;  // lent by each call that may write
  std::string error_;
};

}  // namespace lobby
