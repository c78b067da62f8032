// TlsStream over OpenSSL: TLS 1.2 or later on a non-blocking socket, the
// server verified against the fleet's CA alone (not the system's) and by
// name (subjectAltName, or CN without one; an address against IP entries),
// the client's certificate presented.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <memory>

#include "net_socket.h"
#include "tls_stream.h"

namespace vqlog {
namespace {

std::string OpenSslErrors() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(e, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text.empty() ? "unknown error" : text;
}

bool IsAddress(const std::string& name) {
  ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
  if (ip == nullptr) return false;
  ASN1_OCTET_STRING_free(ip);
  return true;
}

using Clock = std::chrono::steady_clock;
int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

class OpenSslStream final : public TlsStream {
 public:
  OpenSslStream(SSL_CTX* ctx, SSL* ssl, SocketHandle socket) : ctx_(ctx), ssl_(ssl), socket_(socket) {}
  ~OpenSslStream() override {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    CloseSocket(socket_);
  }

  bool WriteAll(std::string_view data) override {
    // A central that takes nothing for this long is taken as gone.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!data.empty()) {
      size_t written = 0;
      ERR_clear_error();
      if (SSL_write_ex(ssl_, data.data(), data.size(), &written) == 1) {
        data.remove_prefix(written);
        continue;
      }
      if (!Wait(SSL_get_error(ssl_, 0), deadline, "write")) return false;
    }
    return true;
  }

  std::ptrdiff_t Read(char* buffer, std::size_t size, int timeout_ms) override {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t got = 0;
      ERR_clear_error();
      if (SSL_read_ex(ssl_, buffer, size, &got) == 1) return static_cast<std::ptrdiff_t>(got);
      int e = SSL_get_error(ssl_, 0);
      if (e == SSL_ERROR_ZERO_RETURN) {
        error_ = "the central closed the connection";
        return -1;
      }
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
        Failed(e, "read");
        return -1;
      }
      if (MillisecondsLeft(deadline) == 0) return 0;
      int ready = WaitSocket(socket_, e == SSL_ERROR_WANT_WRITE, MillisecondsLeft(deadline));
      if (ready < 0) {
        error_ = "read: " + SocketErrorText();
        return -1;
      }
      if (ready == 0) return 0;  // time is up, or a signal: the caller looks again
    }
  }

  const std::string& error() const override { return error_; }

  // Completes the handshake by the deadline.
  bool Handshake(Clock::time_point deadline) {
    for (;;) {
      ERR_clear_error();
      if (SSL_connect(ssl_) == 1) return true;
      if (!Wait(SSL_get_error(ssl_, 0), deadline, "TLS handshake")) {
        long verify = SSL_get_verify_result(ssl_);
        if (verify != X509_V_OK) {
          error_ = std::string("the central's certificate is not accepted: ") +
                   X509_verify_cert_error_string(verify);
        }
        return false;
      }
    }
  }

 private:
  bool Wait(int e, Clock::time_point deadline, const char* step) {
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      Failed(e, step);
      return false;
    }
    int ready = WaitSocket(socket_, e == SSL_ERROR_WANT_WRITE, MillisecondsLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0 && MillisecondsLeft(deadline) > 0) return true;  // a signal: try again
    error_ = std::string(step) + (ready == 0 ? ": timed out" : ": " + SocketErrorText());
    return false;
  }
  void Failed(int e, const char* step) {
    if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      error_ = std::string(step) + ": the connection broke";
    } else {
      error_ = std::string(step) + ": " + OpenSslErrors();
    }
  }

  SSL_CTX* ctx_;
  SSL* ssl_;
  SocketHandle socket_;
  std::string error_;
};

}  // namespace

std::unique_ptr<TlsStream> ConnectTls(const TlsClientOptions& options, std::string* error) {
  const std::string name = options.server_name.empty() ? options.host : options.server_name;
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    *error = "cannot set up TLS: " + OpenSslErrors();
    return nullptr;
  }
  auto fail = [&](const std::string& what) -> std::unique_ptr<TlsStream> {
    *error = what + ": " + OpenSslErrors();
    SSL_CTX_free(ctx);
    return nullptr;
  };
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx, options.ca_file.c_str(), nullptr) != 1) {
    return fail("cannot read the CA file " + options.ca_file);
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, options.cert_file.c_str()) != 1) {
    return fail("cannot read the certificate " + options.cert_file);
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, options.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    return fail("cannot read the key " + options.key_file);
  }
  if (SSL_CTX_check_private_key(ctx) != 1) return fail("the key does not belong to the certificate");
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE);

  const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
  SocketHandle socket = ConnectTcp(options.host, options.port, options.timeout_ms, error);
  if (socket == kNoSocket) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr || SSL_set_fd(ssl, static_cast<int>(socket)) != 1) {
    SSL_free(ssl);
    CloseSocket(socket);
    return fail("cannot set up TLS");
  }
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  bool named = IsAddress(name) ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1
                               : SSL_set1_host(ssl, name.c_str()) == 1 &&
                                     SSL_set_tlsext_host_name(ssl, name.c_str()) == 1;
  auto stream = std::make_unique<OpenSslStream>(ctx, ssl, socket);  // owns them from here
  if (!named) {
    *error = "cannot check the name " + name + ": " + OpenSslErrors();
    return nullptr;
  }
  if (MillisecondsLeft(deadline) == 0 || !stream->Handshake(deadline)) {
    *error = MillisecondsLeft(deadline) == 0 && stream->error().empty() ? "TLS handshake: timed out" : stream->error();
    return nullptr;
  }
  return stream;
}

}  // namespace vqlog
