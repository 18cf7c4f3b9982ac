#include "call/call_record.h"

#include "base/clock.h"
#include "store/phone_store.h"

namespace dialo {

void appendCallRecord(PhoneState& s, std::optional<int32_t> secs) {
    if (s.peerHandle.empty()) return;
    const int64_t now = nowSeconds();
    CallRecord r;
    r.from = s.ownHandle;
    r.to = s.peerHandle;
    r.secs = secs ? *secs : int32_t(s.callStart != 0 ? now - s.callStart : s.messageSeconds);
    r.sats = s.callSats;
    r.ts = now;
    r.txid = s.firstTxid;
    append_call(s, r);  // saves the store
}

}  // namespace dialo
