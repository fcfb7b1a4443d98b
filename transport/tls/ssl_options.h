// TInSSLOptions: the files, protocol versions and ciphers of a TLS server context.
#pragma once

#include <cstdint>
#include <string>

namespace appsrv::transport {

enum class TInSSLVersion : uint8_t {
  sslvSSLv2 = 0,
  sslvSSLv23 = 1,
  sslvSSLv3 = 2,
  sslvTLSv1 = 3,
  sslvTLSv1_1 = 4,
  sslvTLSv1_2 = 5,
};

// A set of TInSSLVersion values, one bit each: SSLv2 1, SSLv23 2, SSLv3 4, TLSv1 8,
// TLSv1.1 16, TLSv1.2 32.
using TInSSLVersions = uint8_t;

constexpr TInSSLVersions SSLVersionBit(TInSSLVersion v) {
  return static_cast<TInSSLVersions>(1u << static_cast<unsigned>(v));
}
// What "every version the library offers" stands for: SSLv2, SSLv3, TLSv1, TLSv1.1, TLSv1.2.
constexpr TInSSLVersions kAllSSLVersions = 61;

enum class TInSSLMode : uint8_t { sslmUnassigned, sslmClient, sslmServer, sslmBoth };

// Peer verification flags.
enum TInSSLVerifyModeBits : uint8_t {
  sslvrfPeer = 1,
  sslvrfFailIfNoPeerCert = 2,
  sslvrfClientOnce = 4,
};

// The bridge's cipher list when the controller names none, for TLS 1.2: ECDHE with AES-GCM or
// ChaCha20-Poly1305 only, so that no CBC suite and no suite without forward secrecy is offered.
extern const char* const kDefaultCipherList;
// The list used when the options name none at all.
extern const char* const kFallbackCipherList;

// Method and version set are kept consistent: setting the method sets the set to that one
// version (SSLv23: all versions); a set of exactly one version sets the method to it; any other
// set makes the method SSLv23 without the SSLv23 bit.
class TInSSLOptions {
 public:
  TInSSLVersion Method() const { return fMethod; }
  void SetMethod(TInSSLVersion method);
  TInSSLVersions SSLVersions() const { return fSSLVersions; }
  void SetSSLVersions(TInSSLVersions versions);

  std::string fsRootCertFile;
  std::string fsCertFile;
  std::string fsKeyFile;
  std::string fsDHParamsFile;
  TInSSLMode fMode = TInSSLMode::sslmUnassigned;
  int32_t fVerifyDepth = 0;
  uint8_t fVerifyMode = 0;  // TInSSLVerifyModeBits
  std::string fVerifyDirs;
  std::string fCipherList;

 private:
  TInSSLVersion fMethod = TInSSLVersion::sslvTLSv1_2;
  TInSSLVersions fSSLVersions = SSLVersionBit(TInSSLVersion::sslvTLSv1_2);
};

// Whatever versions are asked for, the server speaks TLS 1.2 and 1.3 only: every older
// version is broken, and 1.3 is always offered. The line that tells the operator so, e.g.
// "SSLv3 requested: serving TLS 1.2 and 1.3".
std::string ServedVersionsNote(TInSSLVersions requested);

}  // namespace appsrv::transport
