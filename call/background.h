#pragma once
// The background loop: follows the connected wallet and its handle, loads that handle's store,
// polls for incoming events, keeps coins ready for calls and the balance current. Also the
// call-fee payer and the one-shot coin splitter that placing a call starts.

#include <string>

namespace dialo {

/// Copies the connected wallet's handle and payment address (as the wallet client published
/// them) into the phone state; a new handle's store is loaded and its inbox read from scratch.
/// Takes no wallet lock.
void followWallet();

/// One cycle's listening for events: while push is up only the reads missed mid-call are
/// retried, else the oracle listing is polled. Whether push was up.
bool listenForEvents(const std::string& address);

/// The loop's thread body; returns when the phone stops running.
void backgroundLoop();

/// Pays the penny per placed call at the pound rate of the update site, unless that asks more
/// than `network.max_call_fee_sats` (the status line says so); what it cost counts towards
/// the call `callId`, whose invite went out as `firstTxid`.
void payCallFee(const std::string& callId, const std::string& firstTxid);

/// Splits one coin for a call that starts short of ready coins.
void coinSplitOnce();

}  // namespace dialo
