// The server's TLS layer against an OpenSSL client over plain memory BIOs (the usual way of
// running OpenSSL without a socket): whatever pieces the bytes travel in, both sides see the
// same plaintext. How close_notify and tampering end a connection is lobby_test.py's tls_peers,
// against the whole server; the client layer is the load tool's, whose players log in over
// it in the quick lobby load.
#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tls_layer.h"
#include "tls_profile.h"

namespace {

using lobby::Bytes;
using lobby::TlsLayer;

// A server context with the tests' self-signed P-256 certificate, and a client one.
struct Contexts {
  Contexts() {
    server = SSL_CTX_new(TLS_server_method());
    lobby::UseServerTlsProfile(server);
    SSL_CTX_use_certificate_file(server, LOBBY_TEST_DATA "/short-signature-cert.pem",
                                 SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(server, LOBBY_TEST_DATA "/short-signature-key.pem",
                                SSL_FILETYPE_PEM);
    client = SSL_CTX_new(TLS_client_method());
  }
  ~Contexts() {
    SSL_CTX_free(server);
    SSL_CTX_free(client);
  }
  SSL_CTX* server;
  SSL_CTX* client;
};

// The reference peer: an OpenSSL client reading from and writing to memory BIOs.
struct Client {
  explicit Client(SSL_CTX* context) : ssl(SSL_new(context)) {
    in = BIO_new(BIO_s_mem());
    out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);
  }
  ~Client() { SSL_free(ssl); }
  Bytes Take() {
    Bytes bytes(static_cast<size_t>(BIO_pending(out)));
    if (!bytes.empty()) BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
  }
  void Give(const Bytes& bytes) {
    if (!bytes.empty()) BIO_write(in, bytes.data(), static_cast<int>(bytes.size()));
  }
  // Everything readable now; *end: SSL_read's error once nothing more is readable.
  std::string Read(int* end) {
    std::string text;
    char buffer[4096];
    int n;
    while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<size_t>(n));
    *end = SSL_get_error(ssl, n);
    return text;
  }
  SSL* ssl;
  BIO* in;
  BIO* out;
};

// The server side: a layer, fed ciphertext in pieces of `piece` bytes.
struct Server {
  Server(SSL_CTX* context, size_t size) : layer(context, TlsLayer::Role::kServer), piece(size) {}
  // Feeds the bytes; returns the last status and appends the plaintext to *plain.
  TlsLayer::Status Feed(const Bytes& bytes, std::string* plain) {
    TlsLayer::Status status = TlsLayer::Status::kNeedMore;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      layer.Take(&bytes[at], std::min(piece, bytes.size() - at));
      uint8_t buffer[1000];
      size_t got = 0;
      while ((status = layer.Read(buffer, sizeof buffer, &got, &out)) == TlsLayer::Status::kData)
        plain->append(reinterpret_cast<char*>(buffer), got);
      if (status != TlsLayer::Status::kNeedMore) break;
    }
    return status;
  }
  Bytes Take() { return std::move(out); }
  TlsLayer layer;
  size_t piece;
  Bytes out;
};

// Handshake between the two, passing bytes until neither has anything to say.
void Handshake(Client& client, Server& server) {
  std::string plain;
  for (int round = 0; round < 10; ++round) {
    SSL_do_handshake(client.ssl);
    server.Feed(client.Take(), &plain);
    client.Give(server.Take());
  }
  SSL_do_handshake(client.ssl);
  ASSERT_TRUE(server.layer.Established());
  ASSERT_EQ(SSL_is_init_finished(client.ssl), 1);
  ASSERT_EQ(plain, "");
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(TlsLayer, PlaintextArrivesWholeWhateverPiecesTheBytesComeIn) {
  Contexts contexts;
  for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    for (size_t piece : {1, 2, 5, 17, 300, 100000}) {
      SCOPED_TRACE("TLS version " + std::to_string(version) + ", pieces of " +
                   std::to_string(piece));
      SSL_CTX_set_max_proto_version(contexts.client, version);
      Client client(contexts.client);
      Server server(contexts.server, piece);
      Handshake(client, server);
      // Three records from the client, one of them larger than a record holds.
      std::string sent = "Hello" + std::string(20000, 'x') + "Login";
      SSL_write(client.ssl, "Hello", 5);
      SSL_write(client.ssl, sent.data() + 5, 20000);
      SSL_write(client.ssl, "Login", 5);
      std::string received;
      EXPECT_EQ(server.Feed(client.Take(), &received), TlsLayer::Status::kNeedMore);
      EXPECT_EQ(received, sent);
      // And the other way: many small writes and a large one.
      std::string answer;
      for (int i = 0; i < 100; ++i) {
        std::string frame = "event " + std::to_string(i) + ";";
        ASSERT_TRUE(server.layer.Write(Text(frame).data(), frame.size(), &server.out));
        answer += frame;
      }
      std::string large(70000, 'y');
      ASSERT_TRUE(server.layer.Write(Text(large).data(), large.size(), &server.out));
      client.Give(server.Take());
      int end = 0;
      EXPECT_EQ(client.Read(&end), answer + large);
      EXPECT_EQ(end, SSL_ERROR_WANT_READ);
    }
  }
}

}  // namespace
