#pragma once
// The devnet's own certificate authority and the server certificate it signs for the
// service domain (and www.), the paymail domain (and its subdomains), localhost and
// 127.0.0.1, kept under <data>/tls.

#include <string>
#include <vector>

namespace dialo::devnet {

struct TlsFiles {
    std::string caPem;           // the CA certificate: what clients trust
    std::string caPath;          // file holding caPem
    std::string serverCertPath;  // server certificate followed by the CA certificate
    std::string serverKeyPath;   // the server's private key (owner-only)
};

/// Loads the CA and server files from `dir`, making any that are missing or no longer
/// valid (a server certificate that does not name both domains and every extra name is made
/// again).
[[nodiscard]] bool ensureTlsFiles(const std::string& dir, const std::string& domain, const std::string& paymailDomain,
                                  TlsFiles& out, std::string& error, const std::vector<std::string>& extraNames = {});

}  // namespace dialo::devnet
