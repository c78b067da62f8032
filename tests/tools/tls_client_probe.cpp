// Test driver of ConnectTls (Windows): connects, sends one request, prints
// what the server answers until it closes. Exit 0 when the connection was
// made and the server closed it after answering, 1 otherwise (the reason on
// stderr).
//
//   tls_client_probe HOST PORT CA_FILE [--name NAME] [--cert FILE [--key FILE]]
//                    [--password TEXT] [--store user:SUBJECT]
#include <cstdio>
#include <cstring>
#include <string>

#include "tls_stream.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: tls_client_probe HOST PORT CA_FILE [--name N] [--cert F] [--key F] "
                         "[--password P] [--store S]\n");
    return 2;
  }
  vqlog::TlsClientOptions options;
  options.host = argv[1];
  options.port = argv[2];
  options.ca_file = argv[3];
  for (int i = 4; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    std::string* into = flag == "--name"       ? &options.server_name
                        : flag == "--cert"     ? &options.cert_file
                        : flag == "--key"      ? &options.key_file
                        : flag == "--password" ? &options.pkcs12_password
                        : flag == "--store"    ? &options.cert_store
                                               : nullptr;
    if (into == nullptr) {
      std::fprintf(stderr, "tls_client_probe: unknown option %s\n", argv[i]);
      return 2;
    }
    *into = argv[i + 1];
  }
  std::string error;
  auto stream = vqlog::ConnectTls(options, &error);
  if (!stream) {
    std::fprintf(stderr, "tls_client_probe: %s\n", error.c_str());
    return 1;
  }
  if (!stream->WriteAll("GET / HTTP/1.0\r\n\r\n")) {
    std::fprintf(stderr, "tls_client_probe: %s\n", stream->error().c_str());
    return 1;
  }
  // Small reads, so answers span many calls and records.
  char buffer[100];
  std::ptrdiff_t n;
  std::size_t total = 0;
  while ((n = stream->Read(buffer, sizeof buffer, 10000)) > 0) {
    std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout);
    total += static_cast<std::size_t>(n);
  }
  std::fflush(stdout);
  if (n == 0) {
    std::fprintf(stderr, "tls_client_probe: no answer within 10 s\n");
    return 1;
  }
  std::fprintf(stderr, "tls_client_probe: %zu bytes, then: %s\n", total, stream->error().c_str());
  return total > 0 && stream->error() == "the server closed the TLS connection" ? 0 : 1;
}
