// A TLS client connection to the fleet's central: the system's TLS
// (Schannel) on Windows, OpenSSL elsewhere. Both sides are authenticated:
// the server's certificate must chain to the fleet's CA and carry the
// expected name, and the client presents its own certificate.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace vqlog {

struct TlsClientOptions {
  std::string host;         // name or address to connect to
  std::string port;         // TCP port, digits
  std::string server_name;  // name the server's certificate must carry; empty: host
  std::string ca_file;      // PEM: the fleet's CA
  std::string cert_file;    // PEM client certificate (Windows: or a .p12/.pfx file)
  std::string key_file;     // PEM private key of cert_file (empty with PKCS#12)
  std::string pkcs12_password;  // Windows, PKCS#12 only
  std::string cert_store;   // Windows only: "user:SUBJECT" or "machine:SUBJECT" (the MY store)
  int timeout_ms = 10000;   // connect and handshake, each
};

class TlsStream {
 public:
  virtual ~TlsStream() = default;
  // Sends all of data; false on an error (error() says why).
  virtual bool WriteAll(std::string_view data) = 0;
  // Reads what has arrived, waiting at most timeout_ms: the number of bytes
  // (> 0), 0 when nothing came in time, -1 on an error or when the peer
  // closed the connection (error() says which).
  virtual std::ptrdiff_t Read(char* buffer, std::size_t size, int timeout_ms) = 0;
  virtual const std::string& error() const = 0;
};

// Connects and completes the handshake; nullptr with *error set on failure
// (the name, address, certificate or handshake step that failed).
std::unique_ptr<TlsStream> ConnectTls(const TlsClientOptions& options, std::string* error);

}  // namespace vqlog
