#include "vaultra/status.h"

#include <string>

#include "vaultra/own_handle.h"
#include "wallet/client_sinks.h"
#include "wallet/coins.h"
#include "wallet/published.h"
#include "wallet/wallet_file.h"

namespace dialo {
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
    claim_paymail(w, w.paymail, w.keys.identityPub, w.keys.defaultKey.address, wallet_avatar_text(w),
                  w.keys.ordinalsAddress);
}

}  // namespace dialo
