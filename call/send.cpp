#include "call/send.h"

#include <charconv>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "call/call_record.h"
#include "call/event.h"
#include "state/phone_state.h"
#include "vaultra/envelope.h"
#include "wallet/spends.h"

namespace dialo {
namespace {

constexpr size_t kTxidLength = 64;
constexpr int64_t kMaxPlausibleSats = 1'000'000'000;

// What a payload spend of this size is expected to cost when the answer does not say.
int64_t estimatedCost(size_t payloadBytes, int32_t ratePerKb) {
    const int64_t fee = ((int64_t(payloadBytes) + 250) * ratePerKb + 999) / 1000;
    return std::max<int64_t>(fee, 1) + 3;
}

}  // namespace

Peer currentPeer(const PhoneState& s) { return Peer{s.peerHandle, s.peerPayAddress, s.peerPubKey}; }

bool sendEvent(const Peer& to, nlohmann::json& event, int32_t ratePerKb, bool allowUnconfirmed, SentEvent* sent,
               bool reportFailure, const std::string& onceKey) {
    if (sent) *sent = SentEvent{};
    auto say = [reportFailure](const std::string& text) {
        if (reportFailure) setStatus(text);
    };
    const NetworkConfig net = networkConfig();
    if (net.eventFeeAddress.empty() || net.callFeeAddress.empty()) {
        say(kNoFeeAddresses);
        return false;
    }
    std::string ownHandle, ownPay;
    {
        auto g = lockPhone();
        ownHandle = g.state.ownHandle;
        ownPay = g.state.ownPayAddress;
    }
    event["protocol"] = kProtocol;
    event["type"] = "dl";
    event["location"] = "dialo";
    event["handle"] = ownHandle;
    event["pay"] = ownPay;
    // Signed for the peer, so that a copy relayed to anyone else is refused there.
    if (!to.handle.empty()) {
        auto kind = event.find("kind");
        event["mark"] = recipientMark(kind != event.end() && kind->is_string() ? kind->get<std::string>() : "", to.handle);
    }

    std::string error;
    if (!build_protocol_message(event, error)) {
        say(error.empty() ? "Could not sign." : error);
        return false;
    }
    nlohmann::json outer = buildEnvelope(nowSeconds());
    if (!seal(compactText(event), to.pubKey, outer, error)) {
        say(error.empty() ? "Could not seal." : error);
        return false;
    }
    const std::string payload = compactText(outer);
    const std::string answer =
        spend_payload(to.address, payload, ratePerKb, allowUnconfirmed, net.eventFeeAddress, onceKey);

    if (answer.starts_with("hold:")) {
        setHoldFlag(true);
        say("Holding. Waiting for a coin to clear.");
        return false;
    }
    setHoldFlag(false);
    if (!answer.starts_with("success")) {
        say(answer);
        return false;
    }
    std::string rest = answer.size() > 9 ? answer.substr(9) : std::string();
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
    const size_t blank = rest.find(' ');
    std::string txid = rest.substr(0, blank).substr(0, kTxidLength);
    int64_t sats = 0;
    if (blank != std::string::npos) {
        const std::string amount = rest.substr(blank + 1);
        auto [end, ec] = std::from_chars(amount.data(), amount.data() + amount.size(), sats);
        if (ec != std::errc()) sats = 0;
        (void)end;
    }
    if (sats < 1 || sats > kMaxPlausibleSats) sats = estimatedCost(payload.size(), ratePerKb);

    if (sent) *sent = SentEvent{txid.size() == kTxidLength ? txid : std::string(), sats};
    auto g = lockPhone();
    if (txid.size() == kTxidLength) g.state.knownTxids.insert(txid);
    auto id = event.find("id");
    if (id == event.end() || !id->is_string()) return true;
    const std::string callId = id->get<std::string>();
    auto kindField = event.find("kind");
    const std::string kind = kindField != event.end() && kindField->is_string() ? kindField->get<std::string>() : "";
    const bool up = callId == g.state.callId && g.state.callState != CallState::Idle;
    // What a call's record says it cost is what the balance lost for it: a send that ends after
    // the call was recorded (its hang-up, a last voice chunk) goes onto that record, never onto
    // a call that is up now. One the record is still to be made for waits in the call's count.
    const std::string firstTxid = callId == g.state.callId ? g.state.firstTxid : std::string();
    if (!up && addToCallRecord(g.state, callId, firstTxid, txid, sats, kind)) return true;
    if (callId != g.state.callId) return true;
    g.state.callSats += sats;
    if (txid.size() == kTxidLength) {
        if (g.state.firstTxid.empty()) g.state.firstTxid = txid;
        noteSentTxid(g.state, txid, kind);
    }
    return true;
}

}  // namespace dialo
