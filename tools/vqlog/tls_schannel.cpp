// The TLS client on Windows, through the system's own TLS (Schannel).
//
// Schannel is told to leave the server's certificate to us
// (SCH_CRED_MANUAL_CRED_VALIDATION): it is checked after the handshake
// against the fleet's CA alone (a chain engine whose only root is that CA),
// never the machine's root store, and its name is matched here.
//
// A client key given as a PEM file is imported into a key container of its
// own (an RSA key into the CryptoAPI provider, an EC key into the CNG key
// storage provider), as Schannel uses only keys it can open by name; the
// container is deleted again when the connection is closed. A PKCS#12 file
// is imported the same way by the system, and its container deleted too. A
// certificate from the MY store keeps its key where it is.
#include "tls_stream.h"

#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>
#include <security.h>
#include <schannel.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace vqlog {
namespace {

using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------------------
// Text.

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  }
  return out;
}

std::string Narrow(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

std::string Hex(unsigned long value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08lx", value);
  return buffer;
}

// The system's text for an error code, if it has one, then the code.
std::string CodeText(unsigned long code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text != nullptr) {
    out = Narrow(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' ||
                            out.back() == '.')) {
      out.pop_back();
    }
  }
  if (text != nullptr) LocalFree(text);
  return out.empty() ? Hex(code) : out + " (" + Hex(code) + ")";
}

std::string LastError() {
  DWORD code = GetLastError();
  return code == 0 ? "the system gives no reason" : CodeText(code);
}
std::string SocketError() { return CodeText(static_cast<unsigned long>(WSAGetLastError())); }

// Schannel's status codes by name: wine, and older systems, lack the texts
// of some.
std::string StatusText(SECURITY_STATUS status) {
  static const struct {
    SECURITY_STATUS status;
    const char* name;
  } kNames[] = {
      {SEC_E_ALGORITHM_MISMATCH, "SEC_E_ALGORITHM_MISMATCH"},
      {SEC_E_BAD_PKGID, "SEC_E_BAD_PKGID"},
      {SEC_E_CERT_EXPIRED, "SEC_E_CERT_EXPIRED"},
      {SEC_E_CERT_UNKNOWN, "SEC_E_CERT_UNKNOWN"},
      {SEC_E_DECRYPT_FAILURE, "SEC_E_DECRYPT_FAILURE"},
      {SEC_E_ILLEGAL_MESSAGE, "SEC_E_ILLEGAL_MESSAGE"},
      {SEC_E_INCOMPLETE_CREDENTIALS, "SEC_E_INCOMPLETE_CREDENTIALS"},
      {SEC_E_INSUFFICIENT_MEMORY, "SEC_E_INSUFFICIENT_MEMORY"},
      {SEC_E_INTERNAL_ERROR, "SEC_E_INTERNAL_ERROR"},
      {SEC_E_INVALID_HANDLE, "SEC_E_INVALID_HANDLE"},
      {SEC_E_INVALID_TOKEN, "SEC_E_INVALID_TOKEN"},
      {SEC_E_MESSAGE_ALTERED, "SEC_E_MESSAGE_ALTERED"},
      {SEC_E_NO_AUTHENTICATING_AUTHORITY, "SEC_E_NO_AUTHENTICATING_AUTHORITY"},
      {SEC_E_NO_CREDENTIALS, "SEC_E_NO_CREDENTIALS"},
      {SEC_E_TARGET_UNKNOWN, "SEC_E_TARGET_UNKNOWN"},
      {SEC_E_UNKNOWN_CREDENTIALS, "SEC_E_UNKNOWN_CREDENTIALS"},
      {SEC_E_UNSUPPORTED_FUNCTION, "SEC_E_UNSUPPORTED_FUNCTION"},
      {SEC_E_UNTRUSTED_ROOT, "SEC_E_UNTRUSTED_ROOT"},
      {SEC_E_WRONG_PRINCIPAL, "SEC_E_WRONG_PRINCIPAL"},
  };
  for (const auto& entry : kNames) {
    if (entry.status == status) {
      return std::string(entry.name) + " (" + Hex(static_cast<unsigned long>(status)) + ")";
    }
  }
  return CodeText(static_cast<unsigned long>(status));
}

// ---------------------------------------------------------------------------
// Files and PEM.

constexpr std::size_t kMaxCredentialFile = 1 << 20;

bool ReadWholeFile(const std::string& path, Bytes* out, std::string* error) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + path + ": " + LastError();
    return false;
  }
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) != 0;
  if (ok && size.QuadPart > static_cast<LONGLONG>(kMaxCredentialFile)) {
    CloseHandle(file);
    *error = path + " is larger than " + std::to_string(kMaxCredentialFile) +
             " bytes: not a certificate or key file";
    return false;
  }
  out->assign(ok ? static_cast<std::size_t>(size.QuadPart) : 0, 0);
  DWORD got = 0;
  if (ok && !out->empty()) {
    ok = ReadFile(file, out->data(), static_cast<DWORD>(out->size()), &got, nullptr) != 0 &&
         got == out->size();
  }
  if (!ok) *error = "cannot read " + path + ": " + LastError();
  CloseHandle(file);
  return ok;
}

struct PemBlock {
  std::string label;  // "CERTIFICATE", "PRIVATE KEY", ...
  Bytes der;
};

// The PEM blocks of a file, decoded; false with *error on a block that does
// not decode (an encrypted legacy key, a damaged file).
bool PemBlocks(const Bytes& file, const std::string& path, std::vector<PemBlock>* out,
               std::string* error) {
  const std::string text(file.begin(), file.end());
  const std::string begin = "-----BEGIN ";
  std::size_t at = 0;
  while ((at = text.find(begin, at)) != std::string::npos) {
    std::size_t label_end = text.find("-----", at + begin.size());
    if (label_end == std::string::npos) break;
    std::string label = text.substr(at + begin.size(), label_end - at - begin.size());
    std::size_t body = label_end + 5;
    std::string end = "-----END " + label + "-----";
    std::size_t body_end = text.find(end, body);
    if (body_end == std::string::npos) {
      *error = path + ": the PEM block " + label + " has no end line";
      return false;
    }
    std::string base64 = text.substr(body, body_end - body);
    if (base64.find(':') != std::string::npos) {
      *error = path + ": the " + label +
               " is encrypted; give an unencrypted key file, or a PKCS#12 file";
      return false;
    }
    DWORD size = 0;
    if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                              nullptr, &size, nullptr, nullptr)) {
      *error = path + ": the PEM block " + label + " does not decode: " + LastError();
      return false;
    }
    PemBlock block{label, Bytes(size)};
    CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                         block.der.data(), &size, nullptr, nullptr);
    block.der.resize(size);
    out->push_back(std::move(block));
    at = body_end + end.size();
  }
  return true;
}

// A DER structure decoded by CryptoAPI into memory of its own.
template <typename T>
struct Decoded {
  T* value = nullptr;
  DWORD size = 0;
  ~Decoded() {
    if (value != nullptr) LocalFree(value);
  }
  bool Decode(LPCSTR type, const BYTE* der, DWORD der_size) {
    return CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, der, der_size,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &value, &size) != 0;
  }
};

// Just enough DER to take keys apart: PKCS#8 PrivateKeyInfo and SEC1
// ECPrivateKey (not every CryptoAPI decodes them; wine's does not).
struct Der {
  const unsigned char* at;
  const unsigned char* end;

  // The next element if it has the tag: its contents in *inner.
  bool Take(unsigned char tag, Der* inner) {
    if (end - at < 2 || at[0] != tag) return false;
    const unsigned char* p = at + 1;
    std::size_t length = *p++;
    if (length & 0x80) {
      std::size_t bytes = length & 0x7f;
      if (bytes == 0 || bytes > 3 || static_cast<std::size_t>(end - p) < bytes) return false;
      length = 0;
      while (bytes-- > 0) length = (length << 8) | *p++;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    if (inner != nullptr) *inner = Der{p, p + length};
    at = p + length;
    return true;
  }
  std::size_t size() const { return static_cast<std::size_t>(end - at); }
};

constexpr unsigned char kSequence = 0x30, kInteger = 0x02, kOctetString = 0x04, kOid = 0x06;

// PrivateKeyInfo: version, AlgorithmIdentifier (its OID's bytes), and the
// algorithm's own key structure.
bool SplitPkcs8(const Bytes& der, Bytes* oid, Der* key) {
  Der all{der.data(), der.data() + der.size()}, info, algorithm, id;
  if (!all.Take(kSequence, &info) || !info.Take(kInteger, nullptr) ||
      !info.Take(kSequence, &algorithm) || !algorithm.Take(kOid, &id) ||
      !info.Take(kOctetString, key)) {
    return false;
  }
  oid->assign(id.at, id.end);
  return true;
}

// ECPrivateKey: version 1, then the private value.
bool EcPrivateValue(Der key, Der* value) {
  Der sequence;
  return key.Take(kSequence, &sequence) && sequence.Take(kInteger, nullptr) &&
         sequence.Take(kOctetString, value);
}

// ---------------------------------------------------------------------------
// The client's certificate and key.

std::wstring RandomContainerName() {
  unsigned char random[16] = {};
  HCRYPTPROV prov = 0;
  if (CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES,
                           CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
    CryptGenRandom(prov, sizeof random, random);
    CryptReleaseContext(prov, 0);
  }
  std::wstring name = L"vqlog-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (unsigned char byte : random) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  return name;
}

// Deletes the key a CERT_KEY_PROV_INFO names: a CNG key (provider type 0)
// or a CryptoAPI container.
void DeleteKey(const CRYPT_KEY_PROV_INFO& info) {
  if (info.dwProvType == 0) {
    NCRYPT_PROV_HANDLE prov = 0;
    if (NCryptOpenStorageProvider(&prov, info.pwszProvName, 0) != ERROR_SUCCESS) return;
    NCRYPT_KEY_HANDLE key = 0;
    if (NCryptOpenKey(prov, &key, info.pwszContainerName, 0, info.dwFlags & NCRYPT_MACHINE_KEY_FLAG) ==
        ERROR_SUCCESS) {
      NCryptDeleteKey(key, 0);  // frees the handle too
    }
    NCryptFreeObject(prov);
    return;
  }
  HCRYPTPROV prov = 0;
  CryptAcquireContextW(&prov, info.pwszContainerName, info.pwszProvName, info.dwProvType,
                       CRYPT_DELETEKEYSET | (info.dwFlags & CRYPT_MACHINE_KEYSET));
}

class ClientCertificate {
 public:
  ClientCertificate() = default;
  ClientCertificate(const ClientCertificate&) = delete;
  ClientCertificate& operator=(const ClientCertificate&) = delete;
  ~ClientCertificate() { Release(); }

  PCCERT_CONTEXT get() const { return cert_; }

  // cert_file + key_file (PEM), cert_file alone (PKCS#12), or cert_store.
  bool Load(const TlsClientOptions& options, std::string* error) {
    if (!options.cert_store.empty()) {
      if (!options.cert_file.empty() || !options.key_file.empty()) {
        *error = "give a certificate file or a store certificate, not both";
        return false;
      }
      return FromStore(options.cert_store, error);
    }
    if (options.cert_file.empty()) {
      if (!options.key_file.empty()) {
        *error = "a key file was given without its certificate file";
        return false;
      }
      return true;  // no client certificate
    }
    if (options.key_file.empty()) return FromPkcs12(options.cert_file, options.pkcs12_password, error);
    return FromPem(options.cert_file, options.key_file, error);
  }

 private:
  void Release() {
    if (delete_key_ && cert_ != nullptr) {
      DWORD size = 0;
      if (CertGetCertificateContextProperty(cert_, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        Bytes buffer(size);
        auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
        if (CertGetCertificateContextProperty(cert_, CERT_KEY_PROV_INFO_PROP_ID, info, &size)) {
          DeleteKey(*info);
        }
      }
    }
    if (cert_ != nullptr) CertFreeCertificateContext(cert_);
    if (store_ != nullptr) CertCloseStore(store_, 0);
    cert_ = nullptr;
    store_ = nullptr;
  }

  bool FromStore(const std::string& spec, std::string* error) {
    std::size_t colon = spec.find(':');
    std::string where = spec.substr(0, colon == std::string::npos ? 0 : colon);
    DWORD location = where == "user"      ? CERT_SYSTEM_STORE_CURRENT_USER
                     : where == "machine" ? CERT_SYSTEM_STORE_LOCAL_MACHINE
                                          : 0;
    std::wstring subject = colon == std::string::npos ? L"" : Wide(spec.substr(colon + 1));
    if (location == 0 || subject.empty()) {
      *error = "certificate store '" + spec + "': give user:SUBJECT or machine:SUBJECT";
      return false;
    }
    store_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                           location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, L"MY");
    if (store_ == nullptr) {
      *error = "cannot open the " + where + "'s MY certificate store: " + LastError();
      return false;
    }
    // The first time-valid certificate with a private key whose subject
    // holds the text.
    PCCERT_CONTEXT found = nullptr;
    bool seen = false;
    while ((found = CertFindCertificateInStore(store_, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                               subject.c_str(), found)) != nullptr) {
      seen = true;
      DWORD size = 0;
      if (CertVerifyTimeValidity(nullptr, found->pCertInfo) == 0 &&
          CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        cert_ = found;
        return true;
      }
    }
    *error = seen ? "no certificate in the " + where + "'s MY store with subject '" +
                        spec.substr(colon + 1) + "' is valid now and has a private key"
                  : "no certificate in the " + where + "'s MY store has a subject with '" +
                        spec.substr(colon + 1) + "'";
    return false;
  }

  bool FromPkcs12(const std::string& path, const std::string& password, std::string* error) {
    Bytes file;
    if (!ReadWholeFile(path, &file, error)) return false;
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(file.size()), file.data()};
    if (!PFXIsPFXBlob(&blob)) {
      *error = path + " is not a PKCS#12 file (a PEM certificate needs its key file too)";
      return false;
    }
    std::wstring wide_password = Wide(password);
    store_ = PFXImportCertStore(&blob, wide_password.c_str(), CRYPT_USER_KEYSET);
    SecureZeroMemory(wide_password.data(), wide_password.size() * sizeof(wchar_t));
    if (store_ == nullptr) {
      *error = "cannot import the PKCS#12 file " + path + " (wrong password?): " + LastError();
      return false;
    }
    // Every key the import made is deleted again; the certificate used is
    // the one with a key.
    PCCERT_CONTEXT each = nullptr;
    while ((each = CertEnumCertificatesInStore(store_, each)) != nullptr) {
      DWORD size = 0;
      if (!CertGetCertificateContextProperty(each, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        continue;
      }
      if (cert_ == nullptr) {
        cert_ = CertDuplicateCertificateContext(each);
        delete_key_ = true;
      } else {
        Bytes buffer(size);
        auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
        if (CertGetCertificateContextProperty(each, CERT_KEY_PROV_INFO_PROP_ID, info, &size)) {
          DeleteKey(*info);
        }
      }
    }
    if (cert_ == nullptr) {
      *error = "the PKCS#12 file " + path + " holds no certificate with its private key";
      return false;
    }
    return true;
  }

  bool FromPem(const std::string& cert_path, const std::string& key_path, std::string* error) {
    Bytes file;
    std::vector<PemBlock> blocks;
    if (!ReadWholeFile(cert_path, &file, error) || !PemBlocks(file, cert_path, &blocks, error)) {
      return false;
    }
    auto leaf = std::find_if(blocks.begin(), blocks.end(),
                             [](const PemBlock& b) { return b.label == "CERTIFICATE"; });
    if (leaf == blocks.end()) {
      *error = "no PEM certificate in " + cert_path;
      return false;
    }
    cert_ = CertCreateCertificateContext(X509_ASN_ENCODING, leaf->der.data(),
                                         static_cast<DWORD>(leaf->der.size()));
    if (cert_ == nullptr) {
      *error = "the certificate in " + cert_path + " does not parse: " + LastError();
      return false;
    }

    std::vector<PemBlock> keys;
    if (!ReadWholeFile(key_path, &file, error) || !PemBlocks(file, key_path, &keys, error)) {
      return false;
    }
    SecureZeroMemory(file.data(), file.size());
    const PemBlock* key = nullptr;
    for (const PemBlock& block : keys) {
      if (block.label.find("PRIVATE KEY") != std::string::npos) key = &block;
    }
    bool ok = false;
    if (key == nullptr) {
      *error = "no PEM private key in " + key_path;
    } else if (key->label == "ENCRYPTED PRIVATE KEY") {
      *error = key_path + ": the key is encrypted; give an unencrypted key file, or a PKCS#12 file";
    } else if (key->label == "RSA PRIVATE KEY") {
      ok = ImportRsa(key->der.data(), static_cast<DWORD>(key->der.size()), key_path, error);
    } else if (key->label == "EC PRIVATE KEY") {
      ok = ImportEc(key->der.data(), static_cast<DWORD>(key->der.size()), key_path, error);
    } else if (key->label == "PRIVATE KEY") {
      ok = ImportPkcs8(*key, key_path, error);
    } else {
      *error = key_path + ": a " + key->label + " is not supported (RSA or EC keys only)";
    }
    for (PemBlock& block : keys) SecureZeroMemory(block.der.data(), block.der.size());
    return ok;
  }

  bool ImportPkcs8(const PemBlock& key, const std::string& path, std::string* error) {
    // 1.2.840.113549.1.1.1 (RSA) and 1.2.840.10045.2.1 (EC), as DER bytes.
    static const Bytes kRsa{0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
    static const Bytes kEc{0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};
    Bytes oid;
    Der inner{};
    if (!SplitPkcs8(key.der, &oid, &inner)) {
      *error = path + ": the PKCS#8 key does not decode";
      return false;
    }
    if (oid == kRsa) return ImportRsa(inner.at, static_cast<DWORD>(inner.size()), path, error);
    if (oid == kEc) return ImportEc(inner.at, static_cast<DWORD>(inner.size()), path, error);
    *error = path + ": only RSA and EC keys are supported";
    return false;
  }

  // Marks the certificate's key as the one in the named container, to be
  // deleted with this object.
  bool AttachKey(const wchar_t* container, const wchar_t* provider, DWORD type, DWORD spec,
                 std::string* error) {
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<wchar_t*>(container);
    info.pwszProvName = const_cast<wchar_t*>(provider);
    info.dwProvType = type;
    info.dwKeySpec = spec;
    delete_key_ = true;
    if (!CertSetCertificateContextProperty(cert_, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
      *error = "cannot attach the key to the certificate: " + LastError();
      DeleteKey(info);
      delete_key_ = false;
      return false;
    }
    return true;
  }

  // PKCS#1 RSAPrivateKey into a CryptoAPI container (the form every Schannel
  // takes, wine's included).
  bool ImportRsa(const BYTE* der, DWORD size, const std::string& path, std::string* error) {
    Decoded<BYTE> blob;
    if (!blob.Decode(PKCS_RSA_PRIVATE_KEY, der, size)) {
      *error = path + ": the RSA key does not decode: " + LastError();
      return false;
    }
    std::wstring container = RandomContainerName();
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                              CRYPT_NEWKEYSET | CRYPT_SILENT)) {
      *error = "cannot make a key container for " + path + ": " + LastError();
      SecureZeroMemory(blob.value, blob.size);
      return false;
    }
    HCRYPTKEY handle = 0;
    bool imported = CryptImportKey(prov, blob.value, blob.size, 0, 0, &handle) != 0;
    std::string why = imported ? "" : LastError();
    SecureZeroMemory(blob.value, blob.size);
    if (imported) CryptDestroyKey(handle);
    CryptReleaseContext(prov, 0);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
    info.dwProvType = PROV_RSA_AES;
    if (!imported) {
      DeleteKey(info);
      *error = "cannot import the RSA key of " + path + ": " + why;
      return false;
    }
    return AttachKey(container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, AT_KEYEXCHANGE, error);
  }

  // SEC1 ECPrivateKey into the CNG key storage provider. The public point
  // comes from the certificate, so a key without it imports too.
  bool ImportEc(const BYTE* der, DWORD size, const std::string& path, std::string* error) {
    Der d{};
    if (!EcPrivateValue(Der{der, der + size}, &d)) {
      *error = path + ": the EC key does not decode";
      return false;
    }
    const CERT_PUBLIC_KEY_INFO& spki = cert_->pCertInfo->SubjectPublicKeyInfo;
    static const struct {
      unsigned char oid[10];
      DWORD oid_size;
      ULONG magic;
      DWORD field;
    } kCurves[] = {
        {{0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07}, 10,
         BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32},
        {{0x06, 0x05, 0x2b, 0x81, 0x04, 0x00, 0x22}, 7, BCRYPT_ECDSA_PRIVATE_P384_MAGIC, 48},
        {{0x06, 0x05, 0x2b, 0x81, 0x04, 0x00, 0x23}, 7, BCRYPT_ECDSA_PRIVATE_P521_MAGIC, 66},
    };
    const auto* curve = std::find_if(std::begin(kCurves), std::end(kCurves), [&](const auto& c) {
      return spki.Algorithm.Parameters.cbData == c.oid_size &&
             std::memcmp(spki.Algorithm.Parameters.pbData, c.oid, c.oid_size) == 0;
    });
    const CRYPT_BIT_BLOB& point = spki.PublicKey;
    if (std::strcmp(spki.Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 ||
        curve == std::end(kCurves)) {
      *error = path + " holds an EC key, but the certificate's key is not on P-256, P-384 or P-521";
      return false;
    }
    if (point.cbData != 1 + 2 * curve->field || point.pbData[0] != 4 ||
        d.size() > curve->field) {
      *error = path + ": the EC key does not fit the certificate's curve";
      return false;
    }
    // BCRYPT_ECCKEY_BLOB, X, Y, then d left-padded to the field size.
    Bytes blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * curve->field, 0);
    BCRYPT_ECCKEY_BLOB header{curve->magic, curve->field};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, point.pbData + 1, 2 * curve->field);
    std::memcpy(blob.data() + blob.size() - d.size(), d.at, d.size());

    std::wstring name = RandomContainerName();
    NCRYPT_PROV_HANDLE prov = 0;
    SECURITY_STATUS status = NCryptOpenStorageProvider(&prov, MS_KEY_STORAGE_PROVIDER, 0);
    NCRYPT_KEY_HANDLE key = 0;
    if (status == ERROR_SUCCESS) {
      NCryptBuffer name_buffer{static_cast<ULONG>((name.size() + 1) * sizeof(wchar_t)),
                               NCRYPTBUFFER_PKCS_KEY_NAME, name.data()};
      NCryptBufferDesc params{NCRYPTBUFFER_VERSION, 1, &name_buffer};
      status = NCryptImportKey(prov, 0, BCRYPT_ECCPRIVATE_BLOB, &params, &key, blob.data(),
                               static_cast<DWORD>(blob.size()), NCRYPT_OVERWRITE_KEY_FLAG);
      if (status == ERROR_SUCCESS) NCryptFreeObject(key);
      NCryptFreeObject(prov);
    }
    SecureZeroMemory(blob.data(), blob.size());
    if (status != ERROR_SUCCESS) {
      *error = "cannot import the EC key of " + path + " into " + Narrow(MS_KEY_STORAGE_PROVIDER) +
               ": " + CodeText(static_cast<unsigned long>(status));
      return false;
    }
    return AttachKey(name.c_str(), MS_KEY_STORAGE_PROVIDER, 0, 0, error);
  }

  PCCERT_CONTEXT cert_ = nullptr;
  HCERTSTORE store_ = nullptr;
  bool delete_key_ = false;
};

// ---------------------------------------------------------------------------
// The server's certificate.

bool LoadCaStore(const std::string& path, HCERTSTORE* store, std::string* error) {
  Bytes file;
  std::vector<PemBlock> blocks;
  if (!ReadWholeFile(path, &file, error) || !PemBlocks(file, path, &blocks, error)) return false;
  *store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (*store == nullptr) {
    *error = "cannot make a certificate store: " + LastError();
    return false;
  }
  int added = 0;
  for (const PemBlock& block : blocks) {
    if (block.label != "CERTIFICATE") continue;
    if (!CertAddEncodedCertificateToStore(*store, X509_ASN_ENCODING, block.der.data(),
                                          static_cast<DWORD>(block.der.size()),
                                          CERT_STORE_ADD_USE_EXISTING, nullptr)) {
      *error = "a certificate in the CA file " + path + " does not parse: " + LastError();
      return false;
    }
    ++added;
  }
  if (added == 0) {
    *error = "no PEM certificate in the CA file " + path;
    return false;
  }
  return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// A DNS name from a certificate against the name asked for; a wildcard
// stands for the whole left-most label only.
bool DnsNameMatches(std::string_view pattern, std::string_view name) {
  if (pattern.size() > 2 && pattern.substr(0, 2) == "*.") {
    std::size_t dot = name.find('.');
    return dot != std::string_view::npos && dot > 0 &&
           EqualsIgnoringCase(pattern.substr(1), name.substr(dot));
  }
  return EqualsIgnoringCase(pattern, name);
}

// The name asked for against the certificate's subjectAltName: its DNS
// names, or its IP addresses for an address; the subject's CN only when
// there is no subjectAltName.
bool CertificateNameMatches(PCCERT_CONTEXT cert, const std::string& name) {
  unsigned char address[16];
  DWORD address_size = 0;
  if (inet_pton(AF_INET, name.c_str(), address) == 1) {
    address_size = 4;
  } else if (inet_pton(AF_INET6, name.c_str(), address) == 1) {
    address_size = 16;
  }
  const CERT_INFO* info = cert->pCertInfo;
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (ext != nullptr) {
    Decoded<CERT_ALT_NAME_INFO> alt;
    if (!alt.Decode(X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData)) return false;
    for (DWORD i = 0; i < alt.value->cAltEntry; ++i) {
      const CERT_ALT_NAME_ENTRY& entry = alt.value->rgAltEntry[i];
      if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && address_size == 0 &&
          DnsNameMatches(Narrow(entry.pwszDNSName), name)) {
        return true;
      }
      if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && address_size != 0 &&
          entry.IPAddress.cbData == address_size &&
          std::memcmp(entry.IPAddress.pbData, address, address_size) == 0) {
        return true;
      }
    }
    return false;
  }
  if (address_size != 0) return false;
  wchar_t cn[256] = {};
  CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn, 256);
  return cn[0] != L'\0' && DnsNameMatches(Narrow(cn), name);
}

std::string ChainProblem(DWORD status) {
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
    return "was not issued by the CA";
  }
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "has a signature that does not verify";
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return "has expired or is not valid yet";
  if (status & CERT_TRUST_IS_REVOKED) return "is revoked";
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "is not valid for server authentication";
  if (status & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) return "has a chain with a non-CA issuer";
  return "does not verify";
}

// The chain to the fleet's CA only, then the name.
bool VerifyServer(PCCERT_CONTEXT server, HCERTSTORE ca, const std::string& ca_path,
                  const std::string& name, std::string* error) {
  CERT_CHAIN_ENGINE_CONFIG config{};
  // The Windows 7 layout (up to hExclusiveTrustedPeople): every system with
  // exclusive roots takes it, wine's too, which refuses the larger one.
  config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
  config.hExclusiveRoot = ca;
  HCERTCHAINENGINE engine = nullptr;
  if (!CertCreateCertificateChainEngine(&config, &engine)) {
    *error = "cannot make a chain engine for the CA in " + ca_path + ": " + LastError();
    return false;
  }
  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {server_auth};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool ok = CertGetCertificateChain(engine, server, nullptr, server->hCertStore, &para, 0, nullptr,
                                    &chain) != 0;
  if (!ok) {
    *error = "cannot build the server certificate's chain: " + LastError();
  } else {
    DWORD status = chain->TrustStatus.dwErrorStatus &
                   ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (status != CERT_TRUST_NO_ERROR) {
      ok = false;
      *error = "the server's certificate " + ChainProblem(status) + " in " + ca_path +
               " (chain status " + Hex(status) + ")";
    }
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateChainEngine(engine);
  if (ok && !CertificateNameMatches(server, name)) {
    wchar_t subject[256] = {};
    CertGetNameStringW(server, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
    *error = "the server's certificate (" + Narrow(subject) + ") is not for the name " + name;
    ok = false;
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Sockets.

ULONGLONG Now() { return GetTickCount64(); }

int Remaining(ULONGLONG deadline) {
  ULONGLONG now = Now();
  return now >= deadline ? 0 : static_cast<int>(std::min<ULONGLONG>(deadline - now, 1u << 30));
}

// Waits until the socket can be read (or written); 1 ready, 0 timed out,
// -1 failed.
int WaitSocket(SOCKET socket, bool for_write, int timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(socket, &failed);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int n = select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, &failed, &tv);
  if (n == SOCKET_ERROR) return -1;
  if (n == 0) return 0;
  return FD_ISSET(socket, &failed) ? -1 : 1;
}

bool StartWinsock(std::string* error) {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data;
    result = WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (result != 0) *error = "cannot start Winsock: " + CodeText(static_cast<unsigned long>(result));
  return result == 0;
}

// A non-blocking TCP connection to one of the host's addresses, each tried
// until the deadline.
SOCKET ConnectTcp(const TlsClientOptions& options, std::string* error) {
  const std::string where = options.host + ":" + options.port;
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* addresses = nullptr;
  if (int rc = GetAddrInfoW(Wide(options.host).c_str(), Wide(options.port).c_str(), &hints, &addresses);
      rc != 0) {
    *error = "cannot resolve " + options.host + ": " + CodeText(static_cast<unsigned long>(rc));
    return INVALID_SOCKET;
  }
  ULONGLONG deadline = Now() + static_cast<ULONGLONG>(std::max(options.timeout_ms, 1));
  SOCKET result = INVALID_SOCKET;
  std::string why = "no address";
  for (ADDRINFOW* a = addresses; a != nullptr && result == INVALID_SOCKET; a = a->ai_next) {
    SOCKET s = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
      why = SocketError();
      continue;
    }
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    int rc = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen));
    if (rc == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      int ready = WaitSocket(s, true, Remaining(deadline));
      int so_error = 0;
      int len = sizeof so_error;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len);
      if (ready == 1 && so_error == 0) {
        rc = 0;
      } else {
        why = ready == 0 ? "timed out after " + std::to_string(options.timeout_ms) + " ms"
                         : CodeText(static_cast<unsigned long>(so_error != 0 ? so_error : WSAGetLastError()));
      }
    } else if (rc == SOCKET_ERROR) {
      why = SocketError();
    }
    if (rc == 0) {
      BOOL no_delay = TRUE;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay), sizeof no_delay);
      result = s;
    } else {
      closesocket(s);
    }
  }
  FreeAddrInfoW(addresses);
  if (result == INVALID_SOCKET) *error = "cannot connect to " + where + ": " + why;
  return result;
}

// ---------------------------------------------------------------------------
// The stream.

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;
// Encrypted input is never allowed to grow past a few records.
constexpr std::size_t kMaxPendingInput = 4 * (16384 + 2048);

class SchannelStream final : public TlsStream {
 public:
  SchannelStream(SOCKET socket, const TlsClientOptions& options)
      : socket_(socket), timeout_ms_(std::max(options.timeout_ms, 1)) {
    target_ = Wide(options.server_name.empty() ? options.host : options.server_name);
  }
  SchannelStream(const SchannelStream&) = delete;
  SchannelStream& operator=(const SchannelStream&) = delete;

  ~SchannelStream() override {
    if (have_context_ && !peer_closed_) SendCloseNotify();
    if (have_context_) DeleteSecurityContext(&context_);
    if (have_credentials_) FreeCredentialsHandle(&credentials_);
    closesocket(socket_);
  }

  bool Start(ClientCertificate* client, std::string* error) {
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    PCCERT_CONTEXT certs[1] = {client->get()};
    presents_certificate_ = certs[0] != nullptr;
    if (presents_certificate_) {
      cred.cCreds = 1;
      cred.paCred = certs;
    }
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &cred, nullptr, nullptr, &credentials_, nullptr);
    if (status != SEC_E_OK) {
      *error = std::string(certs[0] != nullptr
                               ? "Schannel refuses the client certificate and key"
                               : "Schannel gives no client credentials") +
               " (AcquireCredentialsHandle): " + StatusText(status);
      return false;
    }
    have_credentials_ = true;
    if (!Handshake(Now() + static_cast<ULONGLONG>(timeout_ms_), error)) return false;
    status = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status != SEC_E_OK) {
      *error = "cannot read the TLS record sizes: " + StatusText(status);
      return false;
    }
    return true;
  }

  PCCERT_CONTEXT ServerCertificate(std::string* error) {
    PCCERT_CONTEXT cert = nullptr;
    SECURITY_STATUS status = QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
    if (status != SEC_E_OK || cert == nullptr) {
      *error = "the server sent no certificate: " + StatusText(status);
      return nullptr;
    }
    return cert;
  }

  bool WriteAll(std::string_view data) override {
    if (peer_closed_) return Fail("the server closed the TLS connection");
    std::string record;
    while (!data.empty()) {
      std::size_t n = std::min<std::size_t>(data.size(), sizes_.cbMaximumMessage);
      record.assign(sizes_.cbHeader + n + sizes_.cbTrailer, '\0');
      std::memcpy(record.data() + sizes_.cbHeader, data.data(), n);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {static_cast<unsigned long>(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
      if (status != SEC_E_OK) return Fail("cannot encrypt: " + StatusText(status));
      std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
      if (!SendRaw(record.data(), total, timeout_ms_)) return false;
      data.remove_prefix(n);
    }
    return true;
  }

  std::ptrdiff_t Read(char* buffer, std::size_t size, int timeout_ms) override {
    if (size == 0) return 0;
    ULONGLONG deadline = Now() + static_cast<ULONGLONG>(std::max(timeout_ms, 0));
    for (;;) {
      if (plain_offset_ < plain_.size()) {
        std::size_t n = std::min(size, plain_.size() - plain_offset_);
        std::memcpy(buffer, plain_.data() + plain_offset_, n);
        plain_offset_ += n;
        if (plain_offset_ == plain_.size()) {
          plain_.clear();
          plain_offset_ = 0;
        }
        return static_cast<std::ptrdiff_t>(n);
      }
      if (peer_closed_) {
        Fail("the server closed the TLS connection");
        return -1;
      }
      if (!pending_.empty()) {
        int decrypted = Decrypt();
        if (decrypted < 0) return -1;
        if (decrypted > 0) continue;
      }
      int got = ReceiveRaw(Remaining(deadline));
      if (got < 0) return -1;
      if (got == 0) return 0;
    }
  }

  const std::string& error() const override { return error_; }

 private:
  bool Fail(std::string text) {
    error_ = std::move(text);
    return false;
  }

  bool SendRaw(const char* data, std::size_t size, int timeout_ms) {
    while (size > 0) {
      int n = send(socket_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
      if (n == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) return Fail("cannot send: " + SocketError());
        int ready = WaitSocket(socket_, true, timeout_ms);
        if (ready == 0) {
          return Fail("cannot send: the server took nothing for " + std::to_string(timeout_ms) + " ms");
        }
        if (ready < 0) return Fail("cannot send: " + SocketError());
        continue;
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  // Appends what has arrived to the encrypted input: bytes read (> 0), 0 when
  // nothing came in time, -1 on an error or the end of the connection.
  int ReceiveRaw(int timeout_ms) {
    if (pending_.size() >= kMaxPendingInput) {
      Fail("the server sent a TLS record larger than any valid one");
      return -1;
    }
    int ready = WaitSocket(socket_, false, timeout_ms);
    if (ready == 0) return 0;
    char chunk[16384 + 512];
    int n = ready < 0 ? SOCKET_ERROR : recv(socket_, chunk, sizeof chunk, 0);
    if (n == 0) {
      Fail("the server closed the connection without closing TLS");
      return -1;
    }
    if (n == SOCKET_ERROR) {
      if (ready > 0 && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
      Fail("cannot receive: " + SocketError());
      return -1;
    }
    pending_.append(chunk, static_cast<std::size_t>(n));
    return n;
  }

  // Keeps what Schannel left unread (SECBUFFER_EXTRA) as the next input.
  void KeepExtra(const SecBuffer* buffers, int count) {
    for (int i = 0; i < count; ++i) {
      if (buffers[i].BufferType == SECBUFFER_EXTRA && buffers[i].cbBuffer > 0) {
        pending_.erase(0, pending_.size() - buffers[i].cbBuffer);
        return;
      }
    }
    pending_.clear();
  }

  // Decrypts the records in the encrypted input: 1 when it gave plaintext or
  // consumed a record, 0 when a record is still incomplete, -1 on an error.
  int Decrypt() {
    // An alert record (TLS 1.2 sends its type in the clear). wine's
    // Schannel decrypts a close_notify as an empty record, where Windows
    // says SEC_I_CONTEXT_EXPIRED: after the handshake an alert that gives
    // no data ends the connection either way.
    const bool alert = static_cast<unsigned char>(pending_[0]) == 0x15;
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(pending_.size()), SECBUFFER_DATA, pending_.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
      Fail("cannot decrypt what the server sent: " + StatusText(status));
      return -1;
    }
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        plain_.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      }
    }
    bool gave_data = false;
    for (const SecBuffer& b : buffers) gave_data |= b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0;
    KeepExtra(buffers, 4);
    if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alert && !gave_data)) {
      peer_closed_ = true;  // close_notify: what came before it is still read
    } else if (status == SEC_I_RENEGOTIATE) {
      // The server asks for a new handshake (or, in TLS 1.3, sends one of
      // its post-handshake messages): it runs on the same context, with what
      // follows the record as its input.
      std::string why;
      if (!Handshake(Now() + static_cast<ULONGLONG>(timeout_ms_), &why)) {
        Fail("renegotiation failed: " + why);
        return -1;
      }
    }
    return 1;
  }

  // The InitializeSecurityContext loop, from the first call or (with a
  // context already) from a renegotiation; input is taken from pending_.
  bool Handshake(ULONGLONG deadline, std::string* error) {
    bool first = !have_context_;
    const bool renegotiating = !first;
    bool need_input = false;  // a renegotiation starts with what is there
    bool asked_for_credentials = false;
    for (int call = 1;; ++call) {
      if (need_input) {
        int got = ReceiveRaw(Remaining(deadline));
        if (got <= 0) {
          *error = got == 0 ? "the TLS handshake timed out after " + std::to_string(timeout_ms_) + " ms"
                            : "during the TLS handshake: " + error_;
          return false;
        }
      }
      SecBuffer in[2] = {
          {static_cast<unsigned long>(pending_.size()), SECBUFFER_TOKEN, pending_.data()},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
      unsigned long attributes = 0;
      SECURITY_STATUS status = InitializeSecurityContextW(
          &credentials_, first ? nullptr : &context_, target_.data(), kContextFlags, 0, 0,
          first ? nullptr : &in_desc, 0, &context_, &out_desc, &attributes, nullptr);
      if (first) have_context_ = true;
      first = false;
      if (out[0].pvBuffer != nullptr) {
        bool sent = out[0].cbBuffer == 0 ||
                    SendRaw(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer, Remaining(deadline) + 1);
        FreeContextBuffer(out[0].pvBuffer);
        if (!sent) {
          *error = "during the TLS handshake: " + error_;
          return false;
        }
      }
      switch (status) {
        case SEC_E_OK:
          KeepExtra(in, 2);
          return true;
        case SEC_I_CONTINUE_NEEDED:
          KeepExtra(in, 2);
          need_input = pending_.empty();
          break;
        case SEC_E_INCOMPLETE_MESSAGE:
          if (renegotiating && call == 1 && pending_.empty()) {
            // This Schannel (wine's) cannot start a renegotiation of its
            // own: the server's request is declined, as TLS 1.2 lets a
            // client do, and the session goes on.
            return true;
          }
          need_input = true;
          break;
        case SEC_I_INCOMPLETE_CREDENTIALS:
          // The server asks for a certificate and none was given: go on
          // without one (once), the server decides.
          if (asked_for_credentials) {
            *error = "the server asks for a client certificate and none was given";
            return false;
          }
          asked_for_credentials = true;
          need_input = false;
          break;
        default:
          *error = "the TLS handshake with " + Narrow(target_.c_str()) +
                   " failed (InitializeSecurityContext): " + StatusText(status) +
                   (presents_certificate_ ? "" : "; no client certificate was given");
          return false;
      }
    }
  }

  void SendCloseNotify() {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc token_desc{SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&context_, &token_desc) != SEC_E_OK) return;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
    unsigned long attributes = 0;
    SECURITY_STATUS status =
        InitializeSecurityContextW(&credentials_, &context_, target_.data(), kContextFlags, 0, 0,
                                   nullptr, 0, &context_, &out_desc, &attributes, nullptr);
    if (out.pvBuffer != nullptr) {
      if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && out.cbBuffer > 0) {
        SendRaw(static_cast<const char*>(out.pvBuffer), out.cbBuffer, std::min(timeout_ms_, 1000));
      }
      FreeContextBuffer(out.pvBuffer);
    }
  }

  SOCKET socket_;
  int timeout_ms_;
  std::wstring target_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool have_credentials_ = false;
  bool have_context_ = false;
  bool peer_closed_ = false;
  bool presents_certificate_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::string pending_;  // received, not yet decrypted
  std::string plain_;    // decrypted, not yet read
  std::size_t plain_offset_ = 0;
  std::string error_;
};

// The stream owns the client certificate, whose key container must outlive
// the credentials handle.
class OwningStream final : public TlsStream {
 public:
  OwningStream(std::unique_ptr<ClientCertificate> client, std::unique_ptr<SchannelStream> stream)
      : client_(std::move(client)), stream_(std::move(stream)) {}
  bool WriteAll(std::string_view data) override { return stream_->WriteAll(data); }
  std::ptrdiff_t Read(char* buffer, std::size_t size, int timeout_ms) override {
    return stream_->Read(buffer, size, timeout_ms);
  }
  const std::string& error() const override { return stream_->error(); }

 private:
  std::unique_ptr<ClientCertificate> client_;  // destroyed after stream_
  std::unique_ptr<SchannelStream> stream_;
};

}  // namespace

std::unique_ptr<TlsStream> ConnectTls(const TlsClientOptions& options, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (options.host.empty() || options.port.empty() ||
      options.port.find_first_not_of("0123456789") != std::string::npos) {
    *error = "connect to HOST:PORT (given: '" + options.host + ":" + options.port + "')";
    return nullptr;
  }
  if (options.ca_file.empty()) {
    *error = "the fleet's CA file is needed to verify the server";
    return nullptr;
  }
  HCERTSTORE ca = nullptr;
  if (!LoadCaStore(options.ca_file, &ca, error)) {
    if (ca != nullptr) CertCloseStore(ca, 0);
    return nullptr;
  }
  std::unique_ptr<HCERTSTORE, void (*)(HCERTSTORE*)> ca_guard(&ca, [](HCERTSTORE* s) {
    CertCloseStore(*s, 0);
  });
  auto client = std::make_unique<ClientCertificate>();
  if (!client->Load(options, error) || !StartWinsock(error)) return nullptr;
  SOCKET socket = ConnectTcp(options, error);
  if (socket == INVALID_SOCKET) return nullptr;
  auto stream = std::make_unique<SchannelStream>(socket, options);
  if (!stream->Start(client.get(), error)) return nullptr;
  PCCERT_CONTEXT server = stream->ServerCertificate(error);
  if (server == nullptr) return nullptr;
  const std::string& name = options.server_name.empty() ? options.host : options.server_name;
  bool verified = VerifyServer(server, ca, options.ca_file, name, error);
  CertFreeCertificateContext(server);
  if (!verified) return nullptr;
  return std::make_unique<OwningStream>(std::move(client), std::move(stream));
}

}  // namespace vqlog
