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

bool sendEvent(const std::string& toAddress, nlohmann::json& event, int32_t ratePerKb, bool allowUnconfirmed) {
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

    std::string error;
    if (!build_protocol_message(event, error)) {
        setStatus(error.empty() ? "Could not sign." : error);
        return false;
    }
    nlohmann::json outer = buildEnvelope(nowSeconds());
    std::string peerKey;
    {
        auto g = lockPhone();
        peerKey = g.state.peerPubKey;
    }
    if (!seal(compactText(event), peerKey, outer, error)) {
        setStatus(error.empty() ? "Could not seal." : error);
        return false;
    }
    const std::string payload = compactText(outer);
    const std::string answer =
        spend_payload(toAddress, payload, ratePerKb, allowUnconfirmed, networkConfig().eventFeeAddress);

    if (answer.starts_with("hold:")) {
        setHoldFlag(true);
        setStatus("Holding. Waiting for a coin to clear.");
        return false;
    }
    setHoldFlag(false);
    if (!answer.starts_with("success")) {
        setStatus(answer);
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

    auto g = lockPhone();
    g.state.callSats += sats;
    if (txid.size() == kTxidLength) {
        g.state.knownTxids.insert(txid);
        if (g.state.firstTxid.empty()) g.state.firstTxid = txid;
        auto id = event.find("id");
        if (id != event.end() && id->is_string() && *id == g.state.callId) noteSentTxid(g.state, txid);
    }
    return true;
}

}  // namespace dialo
