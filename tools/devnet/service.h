#pragma once
// dialo-devnet's servers: one HTTPS server on the service port carrying the platform service
// (oracle, relay, paymail directory and claims), the WhatsOnChain API under /woc/v1/bsv/main,
// ARC under /arc, the update site, the faucet, mining and fault injection under /devnet;
// and a second HTTPS server on the directory port answering paymail address look-ups.
// Both listen on 127.0.0.1 only. Blocks are mined on a timer and on demand.

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

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
    /// PEM of the CA that signed the servers' certificate, and the file holding it.
    std::string caPem() const;
    std::string caPath() const;
    /// The "network" object a phone's phone.json needs to use this devnet.
    nlohmann::json networkJson() const;

    Ledger& ledger();
    Directory& directory();
    FaultTable& faults();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace dialo::devnet
