// Test driver of ConnectTls (Windows): connects, sends one request, prints
// what the server answers until it closes. Exit 0 when the connection was
// made and the server closed it after answering, 1 otherwise (the reason on
// stderr).
//
//   tls_client_probe HOST PORT CA_FILE [--name NAME] [--cert FILE [--key FILE]]
//                    [--password TEXT] [--store user:SUBJECT]
//   tls_client_probe --install P12_FILE PASSWORD   into the user's MY store
//   tls_client_probe --uninstall SUBJECT           every one from it, with its key
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tls_stream.h"

namespace {

// The store the "user:SUBJECT" certificates come from, set up as an
// administrator would import a PKCS#12 file.
int StoreCommand(const std::string& command, const std::string& arg, const std::string& password) {
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  if (my == nullptr) return 1;
  bool ok = false;
  if (command == "--install") {
    std::ifstream in(arg, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(data.size()), reinterpret_cast<BYTE*>(data.data())};
    std::wstring wide(password.begin(), password.end());
    HCERTSTORE p12 = PFXImportCertStore(&blob, wide.c_str(), CRYPT_USER_KEYSET);
    PCCERT_CONTEXT cert = nullptr;
    while (p12 != nullptr && (cert = CertEnumCertificatesInStore(p12, cert)) != nullptr) {
      ok = CertAddCertificateContextToStore(my, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != 0;
    }
    if (p12 != nullptr) CertCloseStore(p12, 0);
  } else {
    std::wstring subject(arg.begin(), arg.end());
    ok = true;
    PCCERT_CONTEXT cert;
    while ((cert = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                              subject.c_str(), nullptr)) != nullptr) {
      DWORD size = 0;
      CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size);
      std::string buffer(size, '\0');
      auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
      if (size > 0 && CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info, &size)) {
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, info->pwszContainerName, info->pwszProvName, info->dwProvType,
                             CRYPT_DELETEKEYSET);
      }
      if (!CertDeleteCertificateFromStore(cert)) {
        ok = false;
        break;
      }
    }
  }
  CertCloseStore(my, 0);
  if (!ok) std::fprintf(stderr, "tls_client_probe: %s %s failed\n", command.c_str(), arg.c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && (std::strcmp(argv[1], "--install") == 0 || std::strcmp(argv[1], "--uninstall") == 0)) {
    return StoreCommand(argv[1], argv[2], argc > 3 ? argv[3] : "");
  }
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
