#include "call/call_record.h"

#include <cstdint>

#include "base/clock.h"
#include "store/phone_store.h"

namespace dialo {

void appendCallRecord(PhoneState& s, std::optional<int32_t> secs) {
    if (s.peerHandle.empty()) return;
    const int64_t now = nowSeconds();
    CallRecord r;
    // Who called whom, so that the history can tell calls made from calls taken.
    r.from = s.outgoing ? s.ownHandle : s.peerHandle;
    r.to = s.outgoing ? s.peerHandle : s.ownHandle;
    r.secs = secs ? *secs : int32_t(s.callStart != 0 ? now - s.callStart : s.messageSeconds);
    r.sats = s.callSats;
    r.ts = now;
    r.txid = s.firstTxid;
    r.receipt = s.receipt;
    append_call(s, r);  // saves the store
}

namespace {

void note(std::vector<std::string>& list, int32_t& count, const std::string& txid);

}  // namespace

void addToCallRecord(PhoneState& s, const std::string& firstTxid, const std::string& txid, int64_t sats) {
    if (firstTxid.empty()) return;
    for (auto it = s.boxes.calls.rbegin(); it != s.boxes.calls.rend(); ++it) {
        if (it->missed || it->txid != firstTxid) continue;
        it->sats += sats;
        note(it->receipt.sent, it->receipt.sentCount, txid);
        save_phone_store(s);
        return;
    }
}

void noteCallFee(PhoneState& s, const std::string& callId, const std::string& firstTxid, const std::string& txid,
                 int64_t sats) {
    if (!callId.empty() && s.callId == callId && s.callState != CallState::Idle) {
        s.callSats += sats;
        s.receipt.feeTxid = txid;
        s.receipt.feeSats = sats;
        return;
    }
    if (firstTxid.empty()) return;
    for (auto it = s.boxes.calls.rbegin(); it != s.boxes.calls.rend(); ++it) {
        if (it->missed || it->txid != firstTxid) continue;
        it->sats += sats;
        it->receipt.feeTxid = txid;
        it->receipt.feeSats = sats;
        save_phone_store(s);
        return;
    }
}

namespace {

void note(std::vector<std::string>& list, int32_t& count, const std::string& txid) {
    if (txid.size() != 64) return;
    if (list.size() < kReceiptTxids) list.push_back(txid);
    if (count < INT32_MAX) ++count;
}

}  // namespace

void noteSentTxid(PhoneState& s, const std::string& txid) { note(s.receipt.sent, s.receipt.sentCount, txid); }

void noteHeardTxid(PhoneState& s, const std::string& txid) { note(s.receipt.heard, s.receipt.heardCount, txid); }

}  // namespace dialo
