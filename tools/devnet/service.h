#pragma once
// dialo-devnet's servers: one HTTPS server on the service port carrying the platform service
// (the service library's oracle, relay, paymail directory and claims, fed by the ledger), the
// ledger's feed for a platform run apart, the WhatsOnChain API under /woc/v1/bsv/main,
// ARC under /arc (both also at their public paths), the update site, the faucet, mining and fault injection under /devnet;
// a second HTTPS server on the directory port answering paymail address look-ups; a third
// serving a second paymail domain (capability document, P2P and basic destinations, receive
// transaction) for aliases added by hand; and a DNS server answering its SRV records. All
// listen on 127.0.0.1 only. Blocks are mined on a timer and on demand.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/devnet/dns.h"

namespace dialo::service {
class Platform;
}

namespace dialo::devnet {

class Ledger;
class Directory;
class FaultTable;

struct DevnetOptions {
    std::string dataDir;               // ledger, directory and TLS files live here
    int servicePort = 24443;           // 0: any free port
    int directoryPort = 25443;         // 0: any free port
    int blockIntervalSeconds = 10;     // 0: blocks only on demand
    int64_t minFeeRate = 1;            // satoshis per 1000 bytes
    std::string serviceDomain = "orvane.test";
    std::string caExportPath;          // also write the CA certificate here (empty: not)
    size_t unspentPageSize = 100;      // entries per page of /unspent/all
    std::string publishedVersion = "0.002";  // shown on the update page
    double gbpPerCoin = 40.0;          // /n-rate.json: pounds per 100,000,000 satoshis
    std::string paymailDomain = "paymail.test";  // the second paymail domain, and its subdomains
    int paymailPort = 0;               // HTTPS port of the paymail domain; 0: any free port
    int dnsPort = 0;                   // UDP port of the DNS server; 0: any free port
    // Public host names the certificate names too, so a phone on the main network's profile can
    // be pointed here through its host map. WhatsOnChain's API and explorer and ARC are also
    // served at those services' own paths ("/v1/bsv/main", "/tx/<txid>", "/v1").
    std::vector<std::string> hostNames;
    // Non-empty: WhatsOnChain's calls answer 401 without this key (in "Authorization" or
    // "woc-api-key"), ARC's without "Authorization: Bearer" and this key.
    std::string wocApiKey;
    std::string arcApiKey;
};

class Devnet {
public:
    Devnet();
    ~Devnet();
    Devnet(const Devnet&) = delete;
    Devnet& operator=(const Devnet&) = delete;

    /// Opens the data, makes the TLS files on first use, binds both ports and starts serving.
    [[nodiscard]] bool start(const DevnetOptions& options, std::string& error);
    /// Stops the servers and the miner and closes the data; safe to call twice.
    void stop();

    int servicePort() const;
    int directoryPort() const;
    int paymailPort() const;
    int dnsPort() const;
    /// PEM of the CA that signed the servers' certificate, and the file holding it.
    std::string caPem() const;
    std::string caPath() const;
    /// The "network" object a phone's phone.json needs to use this devnet.
    nlohmann::json networkJson() const;

    /// Replaces the SRV records of _bsvalias._tcp.<domain>; an empty list removes them.
    [[nodiscard]] bool setSrvRecords(const std::string& domain, const std::vector<SrvRecord>& records,
                                     std::string& error);
    /// Requests that reached a server since start: "service", "directory", "paymail" (HTTPS
    /// requests, answered or not) or "dns" (packets).
    size_t requestCount(const std::string& server) const;

    Ledger& ledger();
    Directory& directory();
    /// The embedded platform service (between start and stop).
    service::Platform& platform();
    FaultTable& faults();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace dialo::devnet
