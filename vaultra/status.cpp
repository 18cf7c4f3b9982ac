#include "vaultra/status.h"

#include <string>

#include <nlohmann/json.hpp>

#include "vaultra/own_handle.h"
#include "wallet/client_sinks.h"
#include "wallet/coins.h"
#include "wallet/published.h"
#include "wallet/wallet_file.h"

namespace dialo {
namespace {

// The wallet file's avatar text: "ord_avatar" when it is text, else the "icon" text of an
// "ord_avatar" object; empty otherwise.
std::string avatarText(const nlohmann::json& ordAvatar) {
    if (ordAvatar.is_string()) return ordAvatar.get<std::string>();
    if (ordAvatar.is_object()) {
        auto icon = ordAvatar.find("icon");
        if (icon != ordAvatar.end() && icon->is_string()) return icon->get<std::string>();
    }
    return {};
}

}  // namespace

void refresh_status() {
    auto g = lockWallet();
    WalletState& w = g.state;
    if (!load_wallet(w)) {
        (void)publish_wallet(w);
        return;
    }
    reload_wallet_counts(w);
    refresh_own_handle(w, true);
    // The handle is shown as soon as it is known, not after the scan.
    (void)publish_wallet(w);
    // A scan that could not run leaves the coins of the last one, which the balance shows.
    if (std::string error; !scan_addresses(w, error)) report_text(error + "\n");
    const int64_t shown = shown_balance(w);
    publish_balance(shown);
    report_event({"[OV-VAULTRA]", "status", w.keys.defaultKey.address, shown < 0 ? "-" : std::to_string(shown),
                  w.keys.hd ? "hd" : "legacy"});
    claim_paymail(w, w.paymail, w.keys.identityPub, w.keys.defaultKey.address, avatarText(w.ordAvatar),
                  w.keys.ordinalsAddress);
}

}  // namespace dialo
