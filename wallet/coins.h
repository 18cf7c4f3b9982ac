#pragma once
// Where the wallet's spendable coins come from: WhatsOnChain's unspent lists, corrected by the
// outpoints this wallet has spent and the change of its own recent transactions (both kept in
// snapshot files so they survive a restart), the coin pool the phone's spends draw from, the
// address scan behind the balance, and the choice of the change address. Functions taking a
// `WalletState&` run under the wallet state lock held by the caller.

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "wallet/wallet_state.h"

namespace dialo {

constexpr int64_t kReadyCoinSats = 200;  // a coin worth this much carries one event
constexpr int64_t kMinCoinSats = 2;      // a 1-satoshi output costs more fee than it brings
constexpr int kPendingHistoryEntries = 200;  // unconfirmed-history entries read per scan, all addresses together

/// "txid:vout" with the txid in lower case.
std::string outpoint_key(const std::string& txid, uint32_t vout);

/// Forgets what each unconfirmed transaction was read to spend, as a process starts.
void reset_spends_cache();

/// Names the snapshot files: bound wallet id, else identity address, else default address.
std::string wallet_key_text(const WalletState& w);

/// Adds the outpoint to the spent set and saves it; false when the snapshot was not written
/// (the set in memory holds it all the same).
[[nodiscard]] bool mark_spent(WalletState& w, const std::string& outpoint, std::string& error) REQUIRES(walletMutex());
bool is_spent(const WalletState& w, const std::string& outpoint);
void load_spent_snapshot(WalletState& w) REQUIRES(walletMutex());
/// Snapshot writes: false with the reason when the file could not be written. Nothing is
/// written, and true answered, for a wallet without a key text of its own.
[[nodiscard]] bool save_spent_snapshot(const WalletState& w, std::string& error);
void load_change_snapshot(WalletState& w) REQUIRES(walletMutex());
[[nodiscard]] bool save_change_snapshot(const WalletState& w, std::string& error);

/// Removes what a phone killed mid-write left in the snapshot folders (temporary files).
void remove_dead_snapshot_temps();

/// Before a broadcast: its txid and inputs, kept in a snapshot until the answer is recorded,
/// so that a phone killed meanwhile learns at its next load whether the transaction went out.
/// False with the reason when the snapshot was not written.
[[nodiscard]] bool save_pending_broadcast(const WalletState& w, const std::string& txid, const std::vector<Coin>& inputs,
                                          std::string& error);
/// Once the broadcast's answer is known (and recorded): the pending snapshot goes.
void clear_pending_broadcast(const WalletState& w);
/// At a load: the inputs of a broadcast left pending by a killed phone are spent when the
/// network knows its transaction; either way the pending snapshot goes.
void settle_pending_broadcast(WalletState& w) REQUIRES(walletMutex());

/// Tells the user, through the wallet client's text sink, that coin records were not saved.
void report_unsaved_coins(const std::string& error);

/// Reads one unspent-list reply; false ("bad utxo list") when it is not a list.
[[nodiscard]] bool read_unspent_list(const std::string& body, std::vector<Coin>& out, std::string& error);

/// Reads one address-history reply: the txid of each entry in order ("tx_hash", else "txid"),
/// empty for an entry without one. False when it is not a list.
[[nodiscard]] bool read_history_entries(const std::string& body, std::vector<std::string>& txids);

/// The outpoints ("txid:vout") a transaction's JSON spends; false when it shows no inputs.
[[nodiscard]] bool read_tx_spends(const std::string& body, std::vector<std::string>& spends);

/// The confirmed unspent outputs of one address (paged, else the short form).
[[nodiscard]] bool fetch_unspent(const std::string& address, std::vector<Coin>& out, std::string& error);

/// Refreshes the pool from the receive addresses; true when it holds a coin. Doubted outpoints
/// the chain has moved past (next block, or 10 minutes when the height cannot be read) are
/// settled against the lists read: one still listed unspent is offered again, and so are the
/// inputs of a transaction claimed sent that never showed, whose change is dropped; one whose
/// transaction shows, or whose address listed it no more, is spent for good. The address scan
/// does the same.
[[nodiscard]] bool refresh_pool(WalletState& w, std::string& error, bool force) REQUIRES(walletMutex());

/// Drops spent coins and coins of 1 satoshi or less from the pool.
void prune_pool(WalletState& w) REQUIRES(walletMutex());

[[nodiscard]] bool select_from_pool(WalletState& w, int64_t need, std::vector<Coin>& selection) REQUIRES(walletMutex());
/// For a payload too big for four coins: the largest pool coins, as many as it takes to pay
/// need plus the fee of the extra inputs at rate.
[[nodiscard]] bool select_many_from_pool(WalletState& w, int64_t need, int64_t rate, std::vector<Coin>& selection)
    REQUIRES(walletMutex());
/// Unconfirmed coins of the wallet's own: its change, then (with `askIndex`) what the index
/// lists unconfirmed for each of its addresses.
[[nodiscard]] bool select_unconfirmed(WalletState& w, int64_t need, std::vector<Coin>& selection, std::string& error,
                                      bool askIndex = true)
    REQUIRES(walletMutex());

/// Pool coins worth at least 200 sats; 1 when there are none but some usable coin. Locks.
int count_ready_coins();

[[nodiscard]] bool choose_change_address(WalletState& w, Hash160& out, std::string& error) REQUIRES(walletMutex());

/// After an accepted broadcast: inputs spent, own outputs remembered as change. Unless the
/// transaction was `seen` on the network, the inputs are only doubted: should it never show,
/// they come back and the change goes (see refresh_pool). Memory is always updated; false when
/// a snapshot was not written.
[[nodiscard]] bool record_broadcast(WalletState& w, const std::vector<Coin>& inputs,
                                    const std::vector<TxOutput>& outputs, const std::string& txid, bool seen,
                                    std::string& error) REQUIRES(walletMutex());

/// After a reply saying the inputs are gone, or to keep them for a retry of `txid`: not offered
/// until the chain has moved past this moment and still lists them unspent; look afresh soon.
/// False when the spent snapshot was not written.
[[nodiscard]] bool forget_failed_inputs(WalletState& w, const std::vector<Coin>& inputs, const std::string& txid,
                                        std::string& error) REQUIRES(walletMutex());

/// Bound of the doubt records; past it the oldest count as spent for good (the safe side).
constexpr size_t kMostDoubts = 1024;

/// The chain height WhatsOnChain reports, read again when the last reading is 15 s old (or
/// `fresh`); -1 when it cannot be read.
int64_t chain_height(WalletState& w, bool fresh = false) REQUIRES(walletMutex());

/// Whether WhatsOnChain knows the transaction.
bool tx_is_known(const std::string& txid);

/// Gathers every own address's coins into the per-address cache (one thread per address).
/// False, with the cache untouched, when the scan could not run.
[[nodiscard]] bool scan_addresses(WalletState& w, std::string& error) REQUIRES(walletMutex());

/// How the address scan starts a thread; a replacement may throw std::system_error as
/// std::thread does when the system has no thread to give. Empty restores std::thread.
using ScanThreadStart = std::function<std::thread(std::function<void()>)>;
void set_scan_thread_start(ScanThreadStart start);

/// Candidate coins for a general spend (change list and per-address cache of own addresses),
/// each worth at least 2 satoshis.
std::vector<Coin> general_spend_coins(WalletState& w) REQUIRES(walletMutex());

/// Sum of known unspent coins; -1 when nothing has been gathered yet.
int64_t computed_balance(WalletState& w) REQUIRES(walletMutex());

/// The balance to show, in satoshis, -1 when unknown: the computed sum, held at a recent
/// deduction while a big jump may be a stale list, else the last shown or saved figure.
int64_t shown_balance(WalletState& w) REQUIRES(walletMutex());

/// The balance to show, in satoshis; -1 when unknown. Locks.
int64_t wallet_balance();

/// The shown balance after spending `amount`.
int64_t note_spent_balance(WalletState& w, int64_t amount) REQUIRES(walletMutex());

/// The six operator addresses that never take change and are never pooled.
const std::vector<std::string>& house_oracle_addresses();

}  // namespace dialo
