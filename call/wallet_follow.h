#pragma once
// The phone's own identity as events carry it: the connected wallet's handle and payment
// address, copied from what the wallet client published into the phone state.

namespace dialo {

/// Copies the published handle and address into `ownHandle` and `ownPayAddress` (empty while
/// no wallet is connected) and tells the window when they changed. Takes no wallet lock.
void followWalletIdentity();

}  // namespace dialo
