#include "tls_layer.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace lobby {

TlsLayer::TlsLayer(SSL_CTX* context, Role role, const std::string& hostName)
    : ssl_(SSL_new(context)) {
  BIO* bio = BIO_new(Method());
  BIO_set_data(bio, this);
  BIO_set_init(bio, 1);
  // One BIO both ways: SSL_set_bio takes its one reference.
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_mode(ssl_, SSL_MODE_RELEASE_BUFFERS);
  if (role == Role::kServer) {
    SSL_set_accept_state(ssl_);
    return;
  }
  SSL_set_connect_state(ssl_);
  if (!hostName.empty()) {
    SSL_set_tlsext_host_name(ssl_, hostName.c_str());
    SSL_set1_host(ssl_, hostName.c_str());
  }
}

TlsLayer::~TlsLayer() { SSL_free(ssl_); }

BIO_METHOD* TlsLayer::Method() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "lent buffers");
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_ctrl(m, BioCtrl);
    return m;
  }();
  return method;
}

// OpenSSL reads what Take lent; once it is used up, it is told to try again later.
int TlsLayer::BioRead(BIO* bio, char* data, int size) {
  auto* layer = static_cast<TlsLayer*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (layer->inSize_ == 0 || size <= 0) {
    BIO_set_retry_read(bio);
    return -1;
  }
  size_t n = std::min(layer->inSize_, static_cast<size_t>(size));
  memcpy(data, layer->in_, n);
  layer->in_ += n;
  layer->inSize_ -= n;
  return static_cast<int>(n);
}

// What OpenSSL sends is appended to the caller's buffer: a write never has to wait.
int TlsLayer::BioWrite(BIO* bio, const char* data, int size) {
  auto* layer = static_cast<TlsLayer*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (layer->out_ == nullptr || size < 0) return -1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  layer->out_->insert(layer->out_->end(), bytes, bytes + size);
  return size;
}

long TlsLayer::BioCtrl(BIO* bio, int command, long, void*) {
  auto* layer = static_cast<TlsLayer*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_PENDING:
      return static_cast<long>(std::min<size_t>(layer->inSize_, LONG_MAX));
    default:
      return 0;
  }
}

void TlsLayer::Start(Bytes* out) {
  out_ = out;
  ERR_clear_error();
  int result = SSL_do_handshake(ssl_);
  if (result <= 0 && SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) Failed(result);
  out_ = nullptr;
}

void TlsLayer::Take(const uint8_t* data, size_t size) {
  in_ = data;
  inSize_ = size;
}

TlsLayer::Status TlsLayer::Read(uint8_t* into, size_t room, size_t* got, Bytes* out) {
  out_ = out;
  ERR_clear_error();
  int result = SSL_read(ssl_, into, static_cast<int>(std::min<size_t>(room, INT_MAX)));
  out_ = nullptr;
  if (result > 0) {
    *got = static_cast<size_t>(result);
    return Status::kData;
  }
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      in_ = nullptr;
      return Status::kNeedMore;
    case SSL_ERROR_ZERO_RETURN:
      return Status::kClosed;
    default:
      Failed(result);
      return Status::kFailed;
  }
}

bool TlsLayer::Write(const uint8_t* data, size_t size, Bytes* out) {
  out_ = out;
  ERR_clear_error();
  bool ok = true;
  while (ok && size > 0) {
    int chunk = static_cast<int>(std::min<size_t>(size, 1 << 30));
    int result = SSL_write(ssl_, data, chunk);
    if (result <= 0) {
      Failed(result);
      ok = false;
    } else {
      data += result;
      size -= static_cast<size_t>(result);
    }
  }
  out_ = nullptr;
  return ok;
}

void TlsLayer::Shutdown(Bytes* out) {
  out_ = out;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
  out_ = nullptr;
}

// OpenSSL's reason for the failure, from its error queue, which is left empty for the next call.
void TlsLayer::Failed(int result) {
  unsigned long code = ERR_get_error();
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    error_ = text;
  } else {
    error_ = "TLS error " + std::to_string(SSL_get_error(ssl_, result));
  }
  ERR_clear_error();
}

}  // namespace lobby
