#include "tools/devnet/ledger_source.h"

#include <charconv>

namespace dialo::devnet {
namespace {

constexpr size_t kCatchUpPage = 500;  // transactions read at a time while catching up

service::ChainTx chainTx(const FeedTx& t) {
    service::ChainTx c;
    c.txid = t.txid;
    c.raw = t.raw;
    c.height = t.height;
    c.seen = t.seenMs;
    return c;
}

}  // namespace

bool LedgerSource::start(service::ChainSink sink, service::ConfirmSink confirmed, std::string resume,
                         std::function<void(const std::string&)> saveResume, std::string&) {
    int64_t after = 0;
    if (std::from_chars(resume.data(), resume.data() + resume.size(), after).ec != std::errc()) after = 0;
    // Hooks first: what arrives during the catch-up is told twice, which the index shrugs off,
    // rather than not at all.
    ledger_.setHooks(
        [this, sink, saveResume](const FeedTx& t) {
            lastSeenMs_ = t.seenMs;
            // One the index could not take is found again by the catch-up of the next start, so
            // the resume point stays before it from then on.
            if (!sink(chainTx(t))) refused_ = true;
            else if (!refused_) saveResume(std::to_string(t.seq));
            if (changed_) changed_();
        },
        [this, confirmed](const MinedBlock& b) {
            {
                std::lock_guard lock(unrecordedMutex_);
                unrecorded_.push_back(b);
                std::erase_if(unrecorded_, [&](const MinedBlock& m) { return confirmed(m.txids, m.height); });
            }
            if (changed_) changed_();
        });
    started_ = true;
    int64_t last = after;
    for (;;) {
        std::vector<FeedTx> page = ledger_.txsAfter(last, kCatchUpPage);
        bool taken = true;
        for (const FeedTx& t : page) {
            if (!(taken = sink(chainTx(t)))) break;
            last = t.seq;
        }
        if (!taken || page.size() < kCatchUpPage) break;
    }
    if (last != after) saveResume(std::to_string(last));
    confirmed({}, ledger_.status().tip.height);
    return true;
}

void LedgerSource::stop() {
    if (started_.exchange(false)) ledger_.setHooks({}, {});
}

service::Relayed LedgerSource::relay(const Bytes& raw) {
    SubmitResult r = ledger_.submit(raw);
    service::Relayed out;
    out.txid = r.txid;
    out.accepted = r.accepted || r.reject == Reject::AlreadyKnown;
    if (!r.accepted) out.error = r.reason;
    return out;
}

nlohmann::json LedgerSource::health() {
    return {{"source", "devnet-ledger"}, {"connected", started_.load()}, {"last_seen_ms", lastSeenMs_.load()}};
}

}  // namespace dialo::devnet
