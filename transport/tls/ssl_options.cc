#include "transport/tls/ssl_options.h"

#include <bit>

namespace appsrv::transport {

// Only AEAD suites with an ephemeral elliptic-curve key exchange: CBC suites carry the padding
// oracles of the LUCKY13 family, and a static or finite-field key exchange gives up forward
// secrecy or costs a handshake far more. TLS 1.3 suites, all AEAD, are set apart by OpenSSL.
const char* const kDefaultCipherList =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256";

const char* const kFallbackCipherList = kDefaultCipherList;

void TInSSLOptions::SetMethod(TInSSLVersion method) {
  fMethod = method;
  fSSLVersions =
      method == TInSSLVersion::sslvSSLv23 ? kAllSSLVersions : SSLVersionBit(method);
}

void TInSSLOptions::SetSSLVersions(TInSSLVersions versions) {
  constexpr TInSSLVersions kSSLv23 = SSLVersionBit(TInSSLVersion::sslvSSLv23);
  if (versions == kSSLv23) {
    SetMethod(TInSSLVersion::sslvSSLv23);
    return;
  }
  if (std::popcount(versions) == 1) {
    fSSLVersions = versions;
    fMethod = static_cast<TInSSLVersion>(std::countr_zero(versions));
    return;
  }
  fMethod = TInSSLVersion::sslvSSLv23;
  fSSLVersions = static_cast<TInSSLVersions>(versions & ~kSSLv23);
}

std::string ServedVersionsNote(TInSSLVersions requested) {
  static constexpr struct {
    TInSSLVersion version;
    const char* name;
  } kNames[] = {
      {TInSSLVersion::sslvSSLv2, "SSLv2"},     {TInSSLVersion::sslvSSLv23, "SSLv23"},
      {TInSSLVersion::sslvSSLv3, "SSLv3"},     {TInSSLVersion::sslvTLSv1, "TLSv1"},
      {TInSSLVersion::sslvTLSv1_1, "TLSv1.1"}, {TInSSLVersion::sslvTLSv1_2, "TLSv1.2"},
  };
  std::string names;
  for (const auto& entry : kNames) {
    if ((requested & SSLVersionBit(entry.version)) != 0) {
      names += names.empty() ? "" : ", ";
      names += entry.name;
    }
  }
  if (names.empty()) {
    names = "No version";
  }
  return names + " requested: serving TLS 1.2 and 1.3";
}

}  // namespace appsrv::transport
