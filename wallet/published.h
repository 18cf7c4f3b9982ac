#pragma once
// The wallet client's published view: what a display shows of the wallet (connected, handle,
// payment address, balance), kept apart from the wallet state so that a reader never waits on
// the wallet state lock, which spends and the status refresh hold across network requests.
// The wallet and handshake code write it after connect, disconnect, the status refresh, spends
// and balance reads; the console and the window only read it.

#include <cstdint>
#include <string>

#include "wallet/wallet_state.h"

namespace dialo {

struct WalletView {
    bool connected = false;
    std::string handle;        // the wallet's handle; empty when it has none
    std::string payAddress;    // the address the wallet is paid at (and polled for events)
    int64_t balanceSats = -1;  // the shown balance, satoshis; -1 while unknown
};

/// A copy of the view as last published. Takes only the view's own mutex.
WalletView published_wallet();

/// Publishes whether `w` is usable (bound, loaded, a valid phrase) with its handle and address;
/// a wallet that is not connected shows nothing, balance included. Caller holds the wallet state
/// lock. Answers the connected flag it published.
bool publish_wallet(const WalletState& w) REQUIRES(walletMutex());

/// Publishes the shown balance, satoshis (-1: unknown); ignored while not connected. Answers
/// `sats`, so that a reader of the balance can publish what it returns.
int64_t publish_balance(int64_t sats);

/// Back to the view of a process that has published nothing; no display is told.
void reset_published_wallet();

}  // namespace dialo
