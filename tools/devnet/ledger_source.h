#pragma once
// The devnet's ledger as the embedded platform's chain source: every transaction the ledger
// accepts, whichever route brought it, and every block it mines go to the platform as they
// happen, after a catch-up from where the platform's index left off. The relay submits to
// the ledger itself.

#include <atomic>
#include <mutex>
#include <vector>

#include "service/chain_source.h"
#include "tools/devnet/ledger.h"

namespace dialo::devnet {

class LedgerSource final : public service::ChainSource {
public:
    /// `changed` is told after every transaction accepted and block mined, once the platform has it.
    LedgerSource(Ledger& ledger, std::function<void()> changed) : ledger_(ledger), changed_(std::move(changed)) {}
    ~LedgerSource() override { stop(); }

    bool start(service::ChainSink sink, service::ConfirmSink confirmed, std::string resume,
               std::function<void(const std::string&)> saveResume, std::string& error) override;
    void stop() override;
    service::Relayed relay(const Bytes& raw) override;
    nlohmann::json health() override;

private:
    Ledger& ledger_;
    const std::function<void()> changed_;
    std::atomic<bool> started_{false};
    std::atomic<int64_t> lastSeenMs_{0};
    std::atomic<bool> refused_{false};    // the index refused one: the resume point stays before it
    std::mutex unrecordedMutex_;
    std::vector<MinedBlock> unrecorded_;  // blocks the index could not record, offered again with the next
};

}  // namespace dialo::devnet
