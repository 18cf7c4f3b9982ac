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

void note(std::vector<std::string>& list, std::vector<std::string>& kinds, int32_t& count, const std::string& txid,
          const std::string& kind);

}  // namespace

bool addToCallRecord(PhoneState& s, const std::string& callId, const std::string& firstTxid, const std::string& txid,
                     int64_t sats, const std::string& kind) {
    if (callId.empty()) return false;
    for (auto it = s.boxes.calls.rbegin(); it != s.boxes.calls.rend(); ++it) {
        // A missed call's record keeps its id; a talked one is known by its first transaction.
        const bool ours = it->missed ? it->id == callId : !firstTxid.empty() && it->txid == firstTxid;
        if (!ours) continue;
        it->sats += sats;
        note(it->receipt.sent, it->receipt.sentKinds, it->receipt.sentCount, txid, kind);
        save_phone_store(s);
        return true;
    }
    return false;
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

void note(std::vector<std::string>& list, std::vector<std::string>& kinds, int32_t& count, const std::string& txid,
          const std::string& kind) {
    if (txid.size() != 64) return;
    if (list.size() < kReceiptTxids) {
        // A record loaded from before kinds were kept has fewer kinds than txids.
        kinds.resize(list.size());
        list.push_back(txid);
        kinds.push_back(kind);
    }
    if (count < INT32_MAX) ++count;
}

}  // namespace

void noteSentTxid(PhoneState& s, const std::string& txid, const std::string& kind) {
    note(s.receipt.sent, s.receipt.sentKinds, s.receipt.sentCount, txid, kind);
}

void noteHeardTxid(PhoneState& s, const std::string& txid, const std::string& kind) {
    note(s.receipt.heard, s.receipt.heardKinds, s.receipt.heardCount, txid, kind);
}

}  // namespace dialo
