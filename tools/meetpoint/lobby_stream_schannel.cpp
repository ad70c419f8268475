// The relay's TLS on Windows: Windows' own Schannel through SSPI, and CryptoAPI (crypt32) for the
// certificates, so that a player's meetpoint trusts what the system trusts and gets the system's
// updates. Nothing of TLS or of the cryptography is done here: Schannel speaks the protocol,
// crypt32 reads the PEM file, builds and checks the chain and decodes the certificate's names.
//
// How it is put together, and why. Each choice was tried under Wine too, whose Schannel sits on
// GnuTLS and whose crypt32 differs from Windows' in the places named here.
//  - Credentials: SCH_CREDENTIALS with every protocol before TLS 1.2 disabled, the form that
//    lets Windows 11 speak TLS 1.3. Wine accepts that form but ignores the disabled protocols
//    (it would still speak TLS 1.1), and Windows before 10 1809 refuses it; so the credentials
//    are asked which protocols they will speak, and when that includes one before TLS 1.2 they
//    are made again as SCHANNEL_CRED enabling TLS 1.2 only, which both honour. After the
//    handshake the protocol agreed is checked once more.
//  - The server's certificate is checked here, not by Schannel (manual validation): Schannel's
//    own check knows only the system's store, and --lobby-ca must trust exactly the file's
//    certificates.
//  - Trust: crypt32 builds the chain from the server's certificates and the file's. With
//    --lobby-ca the chain is trusted when one of its certificates is byte for byte one of the
//    file's; any of them may end the chain (a CA's, or the server's own self-signed one). A
//    chain engine with an exclusive root store would say the same, but Wine refuses to make
//    one. Without --lobby-ca the chain must be complete and end at a root of the system's
//    store, read from the chain's status: Wine's SSL policy lets a chain that ends at an
//    unknown issuer pass.
//  - Host name: the names are read by crypt32 (subjectAltName, or the common name when it
//    has no DNS names) and compared by host_name.h, as OpenSSL compares them; an address must
//    be among the certificate's addresses. The SSL policy of CertVerifyCertificateChainPolicy
//    would compare DNS names, but Wine's matches no addresses, and it reports only the first
//    fault of a chain, so a certificate whose signature Wine misjudges (below) would hide a
//    wrong name.
//  - Validity: the certificates from the server's own up to the trusted one must be within
//    their dates, correctly signed and fit for a server. A trusted certificate that signed
//    itself is trusted for what it is, not for that signature (as OpenSSL does): Wine's crypt32
//    rejects about one ECDSA signature in 128 (one whose r or s is shorter than the curve).
//  - No network lookups while the chain is built (no missing issuers fetched, no revocation
//    lists): the server sends its chain, as on Linux, and the relay's thread never waits on
//    a download.
#include <memory>
#include <string>
#include <vector>

// Asio's headers bring winsock2.h before windows.h; the security headers come after them.
#include "host_name.h"
#include "lobby_stream.h"

#define SECURITY_WIN32
#include <security.h>
#include <subauth.h>
#include <wincrypt.h>
#define SCHANNEL_USE_BLACKLISTS
#include <schannel.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

namespace mp {

namespace {

const DWORD kProtocolsBefore12 =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
const DWORD kProtocols12AndLater = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;

// The largest TLS record: 5 bytes of header and at most 2^14 + 2048 bytes of payload. Schannel
// waiting for more than that means the bytes are not TLS.
const size_t kLargestRecord = 5 + 16384 + 2048;

const char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
const char kPemEnd[] = "-----END CERTIFICATE-----";

// The system's words for a status code, with its number.
std::string StatusText(SECURITY_STATUS status) {
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
  char words[256] = "";
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              static_cast<DWORD>(status), 0, words, sizeof words, nullptr);
  while (size > 0 &&
         (isspace(static_cast<unsigned char>(words[size - 1])) || words[size - 1] == '.'))
    words[--size] = '\0';
  return size == 0 ? std::string("Schannel error ") + hex : std::string(words) + " (" + hex + ")";
}

std::wstring Widen(const std::string& text) {
  int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

// Whether bytes from the server can be the start of a TLS record: a record type from 20 to
// 23 (the four that TLS 1.2 and 1.3 send, up to application data), then major version 3.
bool LooksLikeTls(const std::vector<uint8_t>& bytes) {
  if (!bytes.empty() && (bytes[0] < 20 || bytes[0] > 23)) return false;
  return bytes.size() < 2 || bytes[1] == 3;
}

struct CertificateStore {
  HCERTSTORE handle = nullptr;
  ~CertificateStore() {
    if (handle != nullptr) CertCloseStore(handle, 0);
  }
};

struct Chain {
  PCCERT_CHAIN_CONTEXT context = nullptr;
  ~Chain() {
    if (context != nullptr) CertFreeCertificateChain(context);
  }
};

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  return a->cbCertEncoded == b->cbCertEncoded &&
         memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

bool InStore(HCERTSTORE store, PCCERT_CONTEXT certificate) {
  PCCERT_CONTEXT each = nullptr;
  while ((each = CertEnumCertificatesInStore(store, each)) != nullptr) {
    if (SameCertificate(each, certificate)) {
      CertFreeCertificateContext(each);
      return true;
    }
  }
  return false;
}

// Why a chain that ends at no trusted certificate is not trusted, in the usual words.
std::string UntrustedBecause(const CERT_SIMPLE_CHAIN* chain) {
  const CERT_CHAIN_ELEMENT* top = chain->rgpElement[chain->cElement - 1];
  if ((top->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED) == 0)
    return "unable to get local issuer certificate";
  return chain->cElement == 1 ? "self-signed certificate"
                              : "self-signed certificate in certificate chain";
}

// What its chain status says is wrong with a certificate of a trusted chain.
TlsFailure ElementFault(DWORD errors, std::string* detail) {
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return TlsFailure::kExpired;
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
    *detail = "certificate signature failure";
  } else if (errors & CERT_TRUST_IS_REVOKED) {
    *detail = "certificate revoked";
  } else if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
    *detail = "unsupported certificate purpose";
  } else if (errors & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) {
    *detail = "invalid CA certificate";
  } else if (errors & CERT_TRUST_IS_EXPLICIT_DISTRUST) {
    *detail = "certificate rejected";
  } else {
    char text[48];
    snprintf(text, sizeof text, "certificate chain status 0x%08lX",
             static_cast<unsigned long>(errors));
    *detail = text;
  }
  return TlsFailure::kUntrusted;
}

// The subjectAltName entries of a certificate, decoded by crypt32; none when it has none.
class AltNames {
 public:
  explicit AltNames(PCCERT_CONTEXT certificate) {
    const CERT_INFO* info = certificate->pCertInfo;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    DWORD size = 0;
    if (extension != nullptr &&
        !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names_,
                             &size)) {
      names_ = nullptr;
    }
  }
  ~AltNames() {
    if (names_ != nullptr) LocalFree(names_);
  }
  AltNames(const AltNames&) = delete;
  AltNames& operator=(const AltNames&) = delete;
  DWORD Count() const { return names_ == nullptr ? 0 : names_->cAltEntry; }
  const CERT_ALT_NAME_ENTRY& operator[](DWORD i) const { return names_->rgAltEntry[i]; }

 private:
  CERT_ALT_NAME_INFO* names_ = nullptr;
};

// A certificate's DNS name is ASCII (an international one in its xn-- form); anything else
// becomes '?', which names no host.
std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (; text != nullptr && *text != 0; ++text)
    narrow += *text < 128 ? static_cast<char>(*text) : '?';
  return narrow;
}

// Whether the certificate names the host: an address must be among its subjectAltName
// addresses; a DNS name must match one of its subjectAltName DNS names or, when it has none,
// its common name (host_name.h has the rule).
bool NamesHost(PCCERT_CONTEXT certificate, const std::string& host) {
  AltNames names(certificate);
  ErrorCode notAddress;
  asio::ip::address address = asio::ip::make_address(host, notAddress);
  if (!notAddress) {
    std::vector<uint8_t> bytes;
    if (address.is_v4()) {
      auto v4 = address.to_v4().to_bytes();
      bytes.assign(v4.begin(), v4.end());
    } else {
      auto v6 = address.to_v6().to_bytes();
      bytes.assign(v6.begin(), v6.end());
    }
    for (DWORD i = 0; i < names.Count(); ++i) {
      const CERT_ALT_NAME_ENTRY& entry = names[i];
      if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
          entry.IPAddress.cbData == bytes.size() &&
          memcmp(entry.IPAddress.pbData, bytes.data(), bytes.size()) == 0) {
        return true;
      }
    }
    return false;
  }
  bool dnsNames = false;
  for (DWORD i = 0; i < names.Count(); ++i) {
    if (names[i].dwAltNameChoice != CERT_ALT_NAME_DNS_NAME) continue;
    dnsNames = true;
    if (HostNameMatches(Narrow(names[i].pwszDNSName), host)) return true;
  }
  if (dnsNames) return false;
  wchar_t common[256] = L"";
  char commonName[] = szOID_COMMON_NAME;
  CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, commonName, common, 256);
  return HostNameMatches(Narrow(common), host);
}

}  // namespace

struct LobbyTls {
  CredHandle credentials{};
  bool haveCredentials = false;
  // The certificates of --lobby-ca; null: the system's store.
  HCERTSTORE trusted = nullptr;

  ~LobbyTls() {
    if (haveCredentials) FreeCredentialsHandle(&credentials);
    if (trusted != nullptr) CertCloseStore(trusted, 0);
  }
};

namespace {

// Reads every certificate of a PEM file into a store in memory; says what is wrong otherwise.
HCERTSTORE ReadPemFile(const std::string& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = "can't read the certificates to trust from " + file;
    return nullptr;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string pem = text.str();
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) {
    *error = "can't make a certificate store: " + StatusText(HRESULT_FROM_WIN32(GetLastError()));
    return nullptr;
  }
  int count = 0;
  for (size_t begin = pem.find(kPemBegin); begin != std::string::npos;
       begin = pem.find(kPemBegin, begin + 1)) {
    size_t end = pem.find(kPemEnd, begin);
    if (end == std::string::npos) break;
    end += sizeof kPemEnd - 1;
    std::vector<BYTE> der(end - begin);
    DWORD size = static_cast<DWORD>(der.size());
    ++count;
    if (!CryptStringToBinaryA(pem.data() + begin, static_cast<DWORD>(end - begin),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) ||
        !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                          CERT_STORE_ADD_ALWAYS, nullptr)) {
      *error = file + ": certificate " + std::to_string(count) + " can't be read";
      CertCloseStore(store, 0);
      return nullptr;
    }
  }
  if (count == 0) {
    *error = file + " holds no certificate in PEM form";
    CertCloseStore(store, 0);
    return nullptr;
  }
  return store;
}

// Client credentials that speak TLS 1.2 or later and leave the certificate check to us.
SECURITY_STATUS AcquireCredentials(CredHandle* credentials) {
  TimeStamp expiry;
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols = kProtocolsBefore12;
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags =
      SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  SECURITY_STATUS status =
      AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                nullptr, &modern, nullptr, nullptr, credentials, &expiry);
  if (status == SEC_E_OK) {
    SecPkgCred_SupportedProtocols spoken{};
    if (QueryCredentialsAttributesW(credentials, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &spoken) ==
            SEC_E_OK &&
        (spoken.grbitProtocol & kProtocolsBefore12) == 0 && spoken.grbitProtocol != 0) {
      return SEC_E_OK;
    }
    FreeCredentialsHandle(credentials);
  }
  SCHANNEL_CRED older{};
  older.dwVersion = SCHANNEL_CRED_VERSION;
  older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  older.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  return AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                   SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr, nullptr,
                                   credentials, &expiry);
}

// The check of the server's certificate (see the top of the file): trust, then the host name,
// then the certificates' dates and signatures.
TlsFailure CheckCertificate(PCCERT_CONTEXT server, HCERTSTORE trusted, const std::string& host,
                            std::string* detail) {
  // The server's certificates and the file's, for crypt32 to build the chain from.
  CertificateStore pool;
  HCERTSTORE extra = server->hCertStore;
  if (trusted != nullptr) {
    pool.handle = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (pool.handle == nullptr ||
        !CertAddStoreToCollection(pool.handle, server->hCertStore, 0, 0) ||
        !CertAddStoreToCollection(pool.handle, trusted, 0, 0)) {
      *detail = "can't gather the certificates";
      return TlsFailure::kOther;
    }
    extra = pool.handle;
  }
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuth};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  Chain chain;
  if (!CertGetCertificateChain(nullptr, server, nullptr, extra, &para,
                               CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain.context) ||
      chain.context->cChain == 0 || chain.context->rgpChain[0]->cElement == 0) {
    *detail =
        "can't build its certificate chain: " + StatusText(HRESULT_FROM_WIN32(GetLastError()));
    return TlsFailure::kOther;
  }
  const CERT_SIMPLE_CHAIN* simple = chain.context->rgpChain[0];

  // Trust: the first certificate of the chain that is trusted.
  DWORD anchor = simple->cElement;
  if (trusted != nullptr) {
    for (DWORD i = 0; i < simple->cElement && anchor == simple->cElement; ++i) {
      if (InStore(trusted, simple->rgpElement[i]->pCertContext)) anchor = i;
    }
  } else if ((chain.context->TrustStatus.dwErrorStatus &
              (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
               CERT_TRUST_IS_CYCLIC)) == 0) {
    anchor = simple->cElement - 1;
  }
  if (anchor == simple->cElement) {
    *detail = UntrustedBecause(simple);
    return TlsFailure::kUntrusted;
  }

  if (!NamesHost(server, host)) return TlsFailure::kWrongName;

  // Every certificate up to the trusted one: its dates, signature and use. A trusted
  // certificate that signed itself is trusted for what it is, not for that signature.
  const DWORD kNotFaults = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                           CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                           CERT_TRUST_IS_OFFLINE_REVOCATION;
  for (DWORD i = 0; i <= anchor; ++i) {
    const CERT_TRUST_STATUS& status = simple->rgpElement[i]->TrustStatus;
    DWORD errors = status.dwErrorStatus & ~kNotFaults;
    if (i == anchor && (status.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED) != 0)
      errors &= ~static_cast<DWORD>(CERT_TRUST_IS_NOT_SIGNATURE_VALID);
    if (errors != 0) return ElementFault(errors, detail);
  }
  return TlsFailure::kNone;
}

// The TLS stream: Schannel's handshake, then records encrypted and decrypted over the socket.
// Every step runs on the relay's event loop, one at a time; a pending step holds the stream.
class SchannelStream : public LobbyStream, public std::enable_shared_from_this<SchannelStream> {
 public:
  SchannelStream(asio::io_context& io, std::shared_ptr<LobbyTls> tls)
      : tls_(std::move(tls)), socket_(io) {}

  ~SchannelStream() override {
    if (haveContext_) DeleteSecurityContext(&context_);
  }

  asio::ip::tcp::socket& Socket() override { return socket_; }

  void AsyncHandshake(const std::string& host, HandshakeHandler done) override {
    host_ = host;
    wideHost_ = Widen(host);
    Shake(std::make_shared<HandshakeHandler>(std::move(done)));
  }

  void AsyncReadSome(asio::mutable_buffer buffer, Handler done) override {
    if (!plain_.empty()) return Deliver(buffer, std::move(done));
    Decrypt(buffer, std::move(done));
  }

  void AsyncWrite(asio::const_buffer buffer, Handler done) override {
    auto records = std::make_shared<std::vector<uint8_t>>();
    const auto* data = static_cast<const uint8_t*>(buffer.data());
    size_t left = buffer.size();
    while (left > 0) {
      size_t size = std::min<size_t>(left, sizes_.cbMaximumMessage);
      size_t at = records->size();
      records->resize(at + sizes_.cbHeader + size + sizes_.cbTrailer);
      uint8_t* record = records->data() + at;
      memcpy(record + sizes_.cbHeader, data, size);
      SecBuffer parts[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
          {static_cast<ULONG>(size), SECBUFFER_DATA, record + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + size},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc message{SECBUFFER_VERSION, 4, parts};
      SECURITY_STATUS status = EncryptMessage(&context_, 0, &message, 0);
      if (status != SEC_E_OK) {
        ErrorCode error(status, boost::system::system_category());
        asio::post(socket_.get_executor(), [done = std::move(done), error] { done(error, 0); });
        return;
      }
      // The trailer may be shorter than its room; the record ends where it ends.
      records->resize(at + parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer);
      data += size;
      left -= size;
    }
    size_t total = buffer.size();
    auto self = shared_from_this();
    asio::async_write(
        socket_, asio::buffer(*records),
        [self, records, total, done](const ErrorCode& e, size_t) { done(e, e ? 0 : total); });
  }

 private:
  using Done = std::shared_ptr<HandshakeHandler>;

  // Gives Schannel's handshake what the server sent (nothing on the first call) and returns
  // its verdict; what it answers goes to *token. What it took leaves incoming_; the rest is
  // the start of the next record.
  SECURITY_STATUS Handshake(std::vector<uint8_t>* token) {
    SecBuffer in[2] = {{static_cast<ULONG>(incoming_.size()), SECBUFFER_TOKEN, incoming_.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc output{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    SECURITY_STATUS status = InitializeSecurityContextW(
        &tls_->credentials, haveContext_ ? &context_ : nullptr, &wideHost_[0], kRequests, 0, 0,
        haveContext_ ? &input : nullptr, 0, &context_, &output, &attributes, nullptr);
    bool taken = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                 status == SEC_I_INCOMPLETE_CREDENTIALS;
    if (taken) haveContext_ = true;
    if (out[0].pvBuffer != nullptr) {
      const auto* bytes = static_cast<const uint8_t*>(out[0].pvBuffer);
      token->assign(bytes, bytes + out[0].cbBuffer);
      FreeContextBuffer(out[0].pvBuffer);
    }
    if (taken && in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
      incoming_.erase(incoming_.begin(), incoming_.end() - in[1].cbBuffer);
    } else if (taken) {
      incoming_.clear();
    }
    return status;
  }

  // One round of the handshake: Schannel takes what the server sent so far and says what to
  // send and whether to read more.
  void Shake(const Done& done) {
    auto token = std::make_shared<std::vector<uint8_t>>();
    SECURITY_STATUS status = Handshake(token.get());
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (!LooksLikeTls(incoming_)) return Complete(done, TlsFailure::kNotTls, "");
      if (incoming_.size() > kLargestRecord)
        return Complete(done, TlsFailure::kOther, "a handshake record too large");
      return ReadForHandshake(done);
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED &&
        status != SEC_I_INCOMPLETE_CREDENTIALS) {
      if (!LooksLikeTls(incoming_)) return Complete(done, TlsFailure::kNotTls, "");
      return Complete(done, TlsFailure::kOther, StatusText(status));
    }
    auto self = shared_from_this();
    auto next = [self, done, status] {
      if (status == SEC_E_OK) return self->Finish(done);
      // The server asked for a client certificate: go on without one.
      if (status == SEC_I_INCOMPLETE_CREDENTIALS || !self->incoming_.empty())
        return self->Shake(done);
      self->ReadForHandshake(done);
    };
    if (token->empty()) return next();
    asio::async_write(socket_, asio::buffer(*token),
                      [self, token, done, next](const ErrorCode& e, size_t) {
                        if (e) return self->Complete(done, TlsFailure::kOther, e.message());
                        next();
                      });
  }

  void ReadForHandshake(const Done& done) {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(received_), [self, done](const ErrorCode& e, size_t n) {
      if (e) {
        if (!LooksLikeTls(self->incoming_)) return self->Complete(done, TlsFailure::kNotTls, "");
        return self->Complete(done, TlsFailure::kOther, e.message());
      }
      self->incoming_.insert(self->incoming_.end(), self->received_, self->received_ + n);
      self->Shake(done);
    });
  }

  // The handshake is done: the protocol agreed, then the server's certificate.
  void Finish(const Done& done) {
    SecPkgContext_ConnectionInfo connection{};
    SECURITY_STATUS status =
        QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &connection);
    if (status != SEC_E_OK) return Complete(done, TlsFailure::kOther, StatusText(status));
    if ((connection.dwProtocol & kProtocols12AndLater) == 0)
      return Complete(done, TlsFailure::kOther, "unsupported protocol");
    status = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status != SEC_E_OK) return Complete(done, TlsFailure::kOther, StatusText(status));
    PCCERT_CONTEXT server = nullptr;
    status = QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
    if (status != SEC_E_OK || server == nullptr)
      return Complete(done, TlsFailure::kOther, "the server sent no certificate");
    std::string detail;
    TlsFailure failure = CheckCertificate(server, tls_->trusted, host_, &detail);
    CertFreeCertificateContext(server);
    Complete(done, failure, detail);
  }

  // Decrypts what has come; reads more when that is not a whole record.
  void Decrypt(asio::mutable_buffer buffer, Handler done) {
    while (!incoming_.empty()) {
      SecBuffer parts[4] = {
          {static_cast<ULONG>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc message{SECBUFFER_VERSION, 4, parts};
      SECURITY_STATUS status = DecryptMessage(&context_, &message, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) break;
      if (status == SEC_I_CONTEXT_EXPIRED) return Fail(asio::error::eof, std::move(done));
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
        return Fail(ErrorCode(status, boost::system::system_category()), std::move(done));
      std::vector<uint8_t> rest;
      for (const SecBuffer& part : parts) {
        const auto* bytes = static_cast<const uint8_t*>(part.pvBuffer);
        if (part.BufferType == SECBUFFER_DATA)
          plain_.insert(plain_.end(), bytes, bytes + part.cbBuffer);
        if (part.BufferType == SECBUFFER_EXTRA) rest.assign(bytes, bytes + part.cbBuffer);
      }
      incoming_.swap(rest);
      // A handshake message after the handshake goes to the handshake; this client does not
      // renegotiate.
      if (status == SEC_I_RENEGOTIATE && !AfterHandshake())
        return Fail(asio::error::connection_aborted, std::move(done));
      if (!plain_.empty()) return Deliver(buffer, std::move(done));
    }
    if (incoming_.size() > kLargestRecord) return Fail(asio::error::message_size, std::move(done));
    auto self = shared_from_this();
    socket_.async_read_some(
        asio::buffer(received_), [self, buffer, done](const ErrorCode& e, size_t n) {
          if (e) return done(e, 0);
          self->incoming_.insert(self->incoming_.end(), self->received_, self->received_ + n);
          self->Decrypt(buffer, done);
        });
  }

  // A handshake message after the handshake (TLS 1.3: a session ticket, a key update); false
  // when Schannel refuses it or wants to answer, as it would to a renegotiation.
  bool AfterHandshake() {
    std::vector<uint8_t> answer;
    return Handshake(&answer) == SEC_E_OK && answer.empty();
  }

  // Hands decrypted bytes to the reader. Completions go through the event loop, never from
  // inside the call that asked for them.
  void Deliver(asio::mutable_buffer buffer, Handler done) {
    size_t size = std::min(buffer.size(), plain_.size());
    memcpy(buffer.data(), plain_.data(), size);
    plain_.erase(plain_.begin(), plain_.begin() + static_cast<std::ptrdiff_t>(size));
    asio::post(socket_.get_executor(), [done = std::move(done), size] { done(ErrorCode(), size); });
  }

  void Complete(const Done& done, TlsFailure failure, const std::string& detail) {
    asio::post(socket_.get_executor(), [done, failure, detail] { (*done)(failure, detail); });
  }

  void Fail(const ErrorCode& error, Handler done) {
    asio::post(socket_.get_executor(), [done = std::move(done), error] { done(error, 0); });
  }

  static const ULONG kRequests = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                 ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                 ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                 ISC_REQ_MANUAL_CRED_VALIDATION;

  std::shared_ptr<LobbyTls> tls_;
  asio::ip::tcp::socket socket_;
  std::string host_;
  std::wstring wideHost_;
  CtxtHandle context_{};
  bool haveContext_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::vector<uint8_t> incoming_;  // from the server, not yet taken by Schannel
  std::vector<uint8_t> plain_;     // decrypted, not yet read
  uint8_t received_[16384];
};

}  // namespace

std::shared_ptr<LobbyTls> MakeLobbyTls(const std::string& caFile, std::string* error) {
  auto tls = std::make_shared<LobbyTls>();
  if (!caFile.empty()) {
    tls->trusted = ReadPemFile(caFile, error);
    if (tls->trusted == nullptr) return nullptr;
  }
  SECURITY_STATUS status = AcquireCredentials(&tls->credentials);
  if (status != SEC_E_OK) {
    *error = "Schannel refused the TLS settings: " + StatusText(status);
    return nullptr;
  }
  tls->haveCredentials = true;
  return tls;
}

std::shared_ptr<LobbyStream> MakeTlsStream(asio::io_context& io,
                                           const std::shared_ptr<LobbyTls>& tls) {
  return std::make_shared<SchannelStream>(io, tls);
}

}  // namespace mp
