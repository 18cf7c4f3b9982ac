#pragma once
// The handle the phone is known by (the connected wallet's "paymail") and its publication on
// the platform by a signed claim. Callers hold the wallet state lock.

#include <string>
#include <string_view>

#include "wallet/wallet_state.h"

namespace dialo {

/// Bare lower-case alias: leading "@", "$" and blanks off, trailing blanks off, cut at "@".
std::string normalize_own_handle(std::string_view handle);

/// Brings the wallet's handle up to date in place and names the wallet after it.
void refresh_own_handle(WalletState& w, bool report) REQUIRES(walletMutex());

/// The signed preimage of a claim.
std::string claim_text(const std::string& handle, const std::string& pubkey, const std::string& address,
                       const std::string& avatar, const std::string& ordAddress, const std::string& bnPub,
                       const std::string& bnAddress, int64_t ts);

/// Publishes the handle unless the same claim already succeeded in this process.
void claim_paymail(WalletState& w, const std::string& handle, const std::string& pubkey, const std::string& address,
                   const std::string& avatar, const std::string& ordAddress) REQUIRES(walletMutex());

/// Forgets which claim last succeeded, so that the next one is sent, as a process starts.
void reset_claim_memory();

/// Sends one claim; false with the reason when it was not accepted.
[[nodiscard]] bool send_paymail_claim(WalletState& w, const std::string& handle, const std::string& pubkey,
                                      const std::string& address, const std::string& avatar,
                                      const std::string& ordAddress, std::string& error) REQUIRES(walletMutex());

/// "handle@ServiceDomain" of the loaded wallet, or empty. Caller holds the wallet lock.
std::string own_paymail(WalletState& w) REQUIRES(walletMutex());

}  // namespace dialo
