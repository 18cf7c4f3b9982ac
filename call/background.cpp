#include "call/background.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "call/call_control.h"
#include "call/call_record.h"
#include "call/dispatch.h"
#include "call/https_get.h"
#include "call/live_sender.h"
#include "call/poller.h"
#include "call/push.h"
#include "state/amount.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "vaultra/status.h"
#include "wallet/binding.h"
#include "wallet/coins.h"
#include "wallet/published.h"
#include "wallet/spends.h"

namespace dialo {
namespace {

constexpr uint32_t kCallCycleMs = 100;
constexpr uint32_t kIdleCycleMs = 250;
constexpr int kCoinCheckEvery = 40;       // idle connected cycles
constexpr int kBalanceEvery = 16;         // idle connected cycles
constexpr int kUnconfirmedScanEvery = 8;  // idle cycles with an address
constexpr int kConnectCheckEvery = 8;     // cycles
// While push is up nothing is polled, and the fallbacks that polling made cheap by comparison
// slow down too: an idle phone then asks a few requests a minute.
constexpr uint64_t kPushedScanMs = 120000;
constexpr uint64_t kPushedUpkeepMs = 120000;
constexpr uint64_t kAfterCallMs = 60000;
constexpr int kRateTimeoutMs = 4000;
constexpr int kRateBackoffMs = 8000;
constexpr double kPenny = 0.01;          // pounds
constexpr double kSatsPerCoin = 100'000'000.0;

void refreshBalance() {
    refresh_status();
    const int64_t sats = wallet_balance();
    const WalletView view = published_wallet();
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        s.balanceSats = sats;
        s.balanceKnown = true;
        s.balanceText = balanceText(view.handle, sats, s.settings.bsv);
    }
    postUi(UiMessage::Refresh);
}

struct LoopState {
    uint64_t cycle = 0;
    uint64_t idleScans = 0;
    uint64_t ticks = 0;
    uint64_t scannedMs = 0;       // the last unconfirmed-history scan while push was up
    uint64_t upkeepMs = 0;        // the last upkeep started while push was up
    uint64_t deliveriesSeen = 0;  // pushDeliveries() when the balance was last refreshed
    uint64_t callEndedMs = 0;     // when the last call ended (0: none since the loop began)
    bool inCall = false;
    std::string storeKey;         // the store whose balance was last refreshed
    bool seen = false;
    bool lastConnected = false;
    std::thread upkeep;                     // coin split and balance refresh, off the poll
    std::atomic<bool> upkeepRunning{false};
};

// The coin split and the balance refresh hold the wallet for seconds of network work; on a
// thread of their own they leave the poll's cadence, and so an incoming call's ring, alone.
bool startUpkeep(LoopState& loop, bool checkCoins, bool refresh) {
    if (loop.upkeepRunning) return false;
    if (loop.upkeep.joinable()) loop.upkeep.join();
    loop.upkeepRunning = true;
    try {
        loop.upkeep = std::thread([&loop, checkCoins, refresh] {
            // Read apart from the split: it confirms a transaction, which takes seconds, and the
            // window and the poller must not wait on the phone-state mutex meanwhile.
            const bool idle = lockPhoneBrief().state.callState == CallState::Idle;
            const int target = readyCoinTarget(audioConfig().chunkMs);
            if (checkCoins && idle && count_ready_coins() < target && split_coins(target).starts_with("success") &&
                count_ready_coins() < 1)
                setStatus("Preparing coins. A long call can start after the next block.");
            if (refresh && lockPhoneBrief().state.callState == CallState::Idle) refreshBalance();
            loop.upkeepRunning = false;
        });
        return true;
    } catch (const std::exception&) {
        loop.upkeepRunning = false;
        return false;
    }
}

bool dueSince(uint64_t lastMs, uint64_t everyMs) { return lastMs == 0 || nowMs() - lastMs >= everyMs; }

void cycle(LoopState& loop) {
    const bool idleAtStart = lockPhoneBrief().state.callState == CallState::Idle;
    sleepMs(idleAtStart ? kIdleCycleMs : kCallCycleMs);
    if (!phoneFlags().running) return;
    endUnansweredCall();
    // Reading the bind from disk takes the wallet lock, which spends and the upkeep hold across
    // network requests; between reads the published state stands in.
    const bool connected = (loop.ticks++ % kConnectCheckEvery == 0 && !loop.upkeepRunning)
                               ? vaultra_connected()
                               : published_wallet().connected;
    if (!connected) {
        if (loop.seen && loop.lastConnected) {
            loop.lastConnected = false;
            postUi(UiMessage::ConnectionChanged, 0);
            {
                auto g = lockPhone();
                g.state.balanceText.clear();
                g.state.balanceKnown = false;
            }
            postUi(UiMessage::Refresh);
        }
        loop.seen = true;
        followWallet();
        return;
    }
    followWallet();

    std::string address;
    bool idle;
    {
        auto g = lockPhone();
        address = g.state.ownPayAddress;
    }
    const bool pushed = listenForEvents(address);
    releaseOverdueAudio();
    idle = lockPhoneBrief().state.callState == CallState::Idle;
    if (idle && !address.empty()) {
        if (take_history_refresh_request()) scanConfirmedHistory(address);
        drainBackfill();
        if (pushed ? dueSince(loop.scannedMs, kPushedScanMs) : loop.idleScans++ % kUnconfirmedScanEvery == 0) {
            scanUnconfirmedHistory(address);
            if (pushed) loop.scannedMs = nowMs();
        }
    }

    if (!loop.seen || !loop.lastConnected) {
        loop.seen = true;
        loop.lastConnected = true;
        postUi(UiMessage::ConnectionChanged, 1);
        std::string idleText;
        {
            auto g = lockPhone();
            g.state.balanceKnown = false;
            if (g.state.callState == CallState::Idle) idleText = idleStatusText(g.state);
        }
        if (!idleText.empty()) setStatus(idleText);
    }

    if (!idleAtStart || lockPhoneBrief().state.callState != CallState::Idle) {
        loop.callEndedMs = 0;
        loop.inCall = true;
        return;
    }
    if (loop.inCall) {
        loop.inCall = false;
        loop.callEndedMs = nowMs();
    }
    bool checkCoins = loop.cycle % kCoinCheckEvery == 1;
    ++loop.cycle;
    bool refresh = loop.cycle % kBalanceEvery == 0 || !lockPhoneBrief().state.balanceKnown;
    // A payment or an event that push brought changes the balance: it is read soon after.
    const uint64_t delivered = pushDeliveries();
    // A call's last spends (the hang-up, the call fee) settle after it: for a while after it the
    // balance is read as often as without push. Coins wait for their turn; a call splits its own.
    const bool afterCall = loop.callEndedMs != 0 && nowMs() - loop.callEndedMs < kAfterCallMs;
    if (pushed) {
        const bool due = dueSince(loop.upkeepMs, kPushedUpkeepMs);
        checkCoins = due;
        refresh = due || (afterCall && refresh) || delivered != loop.deliveriesSeen ||
                  loop.storeKey != current_store_key() || !lockPhoneBrief().state.balanceKnown;
    }
    if ((checkCoins || refresh) && startUpkeep(loop, checkCoins, refresh)) {
        if (pushed && checkCoins) loop.upkeepMs = nowMs();
        if (refresh) {
            loop.deliveriesSeen = delivered;
            loop.storeKey = current_store_key();
        }
    }
}

}  // namespace

void followWallet() {
    const WalletView view = published_wallet();
    bool switchStore, changed;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (view.handle != s.ownHandle) s.knownTxids.clear();
        switchStore = store_key(view.handle) != current_store_key();
        changed = s.ownHandle != view.handle || s.ownPayAddress != view.payAddress;
        s.ownHandle = view.handle;
        s.ownPayAddress = view.payAddress;
    }
    if (changed) {
        pushRestart();
        postUi(UiMessage::Refresh);
    }
    if (switchStore && !view.handle.empty()) switch_store_handle(view.handle);
}

bool listenForEvents(const std::string& address) {
    // Read once per cycle: a push that failed a moment ago is polled for in this very cycle.
    const bool pushed = pushActive();
    if (pushed) retryMissedTxids();
    else pollOracle(address);
    return pushed;
}

void backgroundLoop() {
    LoopState loop;
    while (phoneFlags().running) cycle(loop);
    if (loop.upkeep.joinable()) loop.upkeep.join();
}

void payCallFee(const std::string& callId, const std::string& firstTxid) {
    const NetworkConfig net = networkConfig();
    const std::string body = httpsGet(net.updateBase + "/n-rate.json", kRateTimeoutMs, nullptr, kRateBackoffMs);
    if (body.empty()) return;
    const nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (!doc.is_object()) return;
    auto gbp = doc.find("gbp");
    const double rate = (gbp != doc.end() && gbp->is_number()) ? gbp->get<double>() : 0.0;
    if (!(rate > 0) || !std::isfinite(rate)) return;
    const double sats = std::floor(kPenny / rate * kSatsPerCoin + 0.5);
    if (sats < 1) return;
    // The rate comes from a web site; what it may ask is bounded here, not there.
    const int64_t limit = std::min(net.maxCallFeeSats, int64_t(kSatsPerCoin));
    if (sats > double(limit)) {
        setStatus("Call fee not paid: the rate asks " + std::to_string(int64_t(std::min(sats, kSatsPerCoin * 21e6))) +
                  " sats, more than the limit of " + std::to_string(limit) + ".");
        return;
    }
    int64_t cost = 0;
    const std::string answer = spend_to_address(net.callFeeAddress, int64_t(sats), "", &cost);
    if (!answer.starts_with("success: ")) return;
    const std::string txid = answer.substr(9);
    auto g = lockPhone();
    noteCallFee(g.state, callId, firstTxid, txid, cost);
}

void coinSplitOnce() { (void)split_coins(readyCoinTarget(audioConfig().chunkMs)); }

}  // namespace dialo
