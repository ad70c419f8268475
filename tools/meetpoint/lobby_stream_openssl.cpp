#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/ssl.hpp>
#include <fstream>

#include "lobby_stream.h"

namespace mp {

struct LobbyTls {
  asio::ssl::context context{asio::ssl::context::tls_client};
};

std::shared_ptr<LobbyTls> MakeLobbyTls(const std::string& caFile, std::string* error) {
  auto tls = std::make_shared<LobbyTls>();
  SSL_CTX* ctx = tls->context.native_handle();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  ErrorCode ec;
  if (caFile.empty()) {
    tls->context.set_default_verify_paths(ec);
  } else {
    // Only the file's certificates, and any of them may end a chain: a CA's, or the server's
    // own self-signed one.
    tls->context.load_verify_file(caFile, ec);
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ctx), X509_V_FLAG_PARTIAL_CHAIN);
  }
  if (ec && caFile.empty()) {
    *error = "can't read the system's certificates: " + ec.message();
    return nullptr;
  }
  if (ec) {
    bool readable = std::ifstream(caFile).good();
    *error = readable ? caFile + " holds no certificate in PEM form"
                      : "can't read the certificates to trust from " + caFile;
    return nullptr;
  }
  tls->context.set_verify_mode(asio::ssl::verify_peer);
  return tls;
}

namespace {

// What went wrong in a failed handshake: the certificate check's verdict first, then the
// record layer's complaint about bytes that are no TLS.
TlsFailure Classify(SSL* ssl, const ErrorCode& e, std::string* detail) {
  long verdict = SSL_get_verify_result(ssl);
  switch (verdict) {
    case X509_V_OK:
      break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return TlsFailure::kWrongName;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return TlsFailure::kExpired;
    default:
      *detail = X509_verify_cert_error_string(verdict);
      return TlsFailure::kUntrusted;
  }
  if (e.category() == asio::error::get_ssl_category()) {
    switch (ERR_GET_REASON(static_cast<unsigned long>(e.value()))) {
      case SSL_R_WRONG_VERSION_NUMBER:
      case SSL_R_PACKET_LENGTH_TOO_LONG:
      case SSL_R_RECORD_LENGTH_MISMATCH:
      case SSL_R_HTTP_REQUEST:
        return TlsFailure::kNotTls;
      default:
        break;
    }
  }
  *detail = e.message();
  return TlsFailure::kOther;
}

class OpenSslStream : public LobbyStream {
 public:
  OpenSslStream(asio::io_context& io, std::shared_ptr<LobbyTls> tls)
      : tls_(std::move(tls)), stream_(io, tls_->context) {}

  asio::ip::tcp::socket& Socket() override { return stream_.next_layer(); }

  void AsyncHandshake(const std::string& host, HandshakeHandler done) override {
    SSL* ssl = stream_.native_handle();
    ErrorCode notAddress;
    asio::ip::make_address(host, notAddress);
    if (notAddress) {
      // A name goes out in the handshake (for servers of many names) and must be the
      // certificate's; an address must be among the certificate's addresses.
      SSL_set_tlsext_host_name(ssl, host.c_str());
      SSL_set1_host(ssl, host.c_str());
    } else {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    }
    stream_.async_handshake(asio::ssl::stream_base::client, [this, ssl, done](const ErrorCode& e) {
      if (!e) return done(TlsFailure::kNone, "");
      std::string detail;
      TlsFailure failure = Classify(ssl, e, &detail);
      done(failure, detail);
    });
  }

  void AsyncReadSome(asio::mutable_buffer buffer, Handler done) override {
    stream_.async_read_some(buffer, std::move(done));
  }

  void AsyncWrite(asio::const_buffer buffer, Handler done) override {
    asio::async_write(stream_, buffer, std::move(done));
  }

 private:
  std::shared_ptr<LobbyTls> tls_;
  asio::ssl::stream<asio::ip::tcp::socket> stream_;
};

}  // namespace

std::shared_ptr<LobbyStream> MakeTlsStream(asio::io_context& io,
                                           const std::shared_ptr<LobbyTls>& tls) {
  return std::make_shared<OpenSslStream>(io, tls);
}

}  // namespace mp
