#pragma once
// The three spends the phone makes: a call event's payload to a peer, a split of one coin
// into many small ones for a call's events, and a plain payment. Each takes the wallet state
// lock for its whole run and answers one result text: "success: ...", "hold: ...", "ready"
// or "error: ...".

#include <string>

namespace dialo {

/// Pays the peer 1 sat (and a second address 1 sat) with the payload in a data output at
/// `rate` sat/kB; "success: <txid> <cost>". Under a non-empty `onceKey` at most one transaction
/// is ever made: a call with a key already used sends that same transaction again (the new
/// payload is not used) and answers success only once it is taken or seen.
std::string spend_payload(const std::string& peerAddress, const std::string& payload, int64_t rate,
                          bool allowUnconfirmed, const std::string& secondAddress, const std::string& onceKey = {});

/// The caller gave up on the key's payload: its transaction is no longer kept, and its coins
/// come back as any failed spend's do should it never show.
void forget_payload_key(const std::string& onceKey);

/// Splits the largest confirmed coin when fewer than `target` coins of 200 sats are ready.
std::string split_coins(int target = 120);

/// Pays `sats` to a P2PKH address (with an optional data output); "success: <txid>", and in
/// `cost`, when given, `sats` and the transaction's fee.
std::string spend_to_address(const std::string& address, int64_t sats, const std::string& data,
                             int64_t* cost = nullptr);

}  // namespace dialo
