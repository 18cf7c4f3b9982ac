#pragma once
// Finding incoming events: the platform's oracle listing of transactions paid to the phone's
// address, WhatsOnChain's address history as the fallback, and reading each new transaction's
// data output (platform JSON, then WhatsOnChain JSON, last raw hex on the fetch worker). Every
// payload that names the phone's protocol goes to the payload handler.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace dialo {

/// Where found payloads go; start-up installs the dispatcher.
using PayloadHandler = void (*)(const std::string& txid, const std::string& payload);
void setPayloadHandler(PayloadHandler handler);

/// One oracle poll; up to four new txids fetched, the last listed first.
void pollOracle(const std::string& address);

/// The oracle listing's URL for an address: deeper in a call after a stretch without listings,
/// with `extra` ("&wait=…&after=…") added to its query.
std::string oracleListingUrl(const std::string& address, const std::string& extra = {});

/// What an answer to the oracle listing held.
enum class ListingResult {
    Unusable,  // empty, not JSON, or without a txid list
    Error,     // an error object: listings pause as the platform asks
    Read,      // its new txids were read
};

/// Reads an answer to the oracle listing as a poll does: up to four new txids fetched, the others
/// remembered in a call, an error object pausing listings. Its "cursor", when it has one, goes
/// to `cursor`; the count of txids it had fetched to `fetched`; whether any listed txid is still
/// unread (beyond the four, or its read failed and waits to be tried again) to `unread`.
ListingResult readOracleListing(const std::string& body, std::string* cursor = nullptr, size_t* fetched = nullptr,
                                bool* unread = nullptr);

/// Reads again, mid-call, the txids listed earlier whose read failed; a poll does it first.
void retryMissedTxids();

/// Fetches one transaction by its JSON and hands on or queues its payload.
void fetchTx(const std::string& txid);

/// Queues a txid for the raw-hex worker; false when held back or already queued.
bool enqueueRawFetch(const std::string& txid);

/// Forgets a txid so that a later listing brings it back.
void forgetTxid(const std::string& txid);

/// Keeps a txid from being fetched, queued or listed before this monotonic tick.
void holdTxidUntil(const std::string& txid, uint64_t tickMs);

/// Forgets every queued, held and missed txid and when the last listing was read, as a
/// process starts; the payload handler stays. The workers must be stopped.
void resetPoller();

/// The WhatsOnChain fallbacks, run by the background loop while idle.
void scanUnconfirmedHistory(const std::string& address);
void scanConfirmedHistory(const std::string& address);
void drainBackfill();

/// One step of the raw-hex worker: false when the queue was empty.
bool rawFetchStep();

/// The longest data-output payload a transaction's JSON shows; `truncated` and `hasData` tell
/// whether a raw read could find more.
std::string payloadFromTxJson(const nlohmann::json& tx, bool* truncated = nullptr, bool* hasData = nullptr);

/// The longest data-output payload of a raw transaction in hex (white space and case ignored).
std::string payloadFromRawHex(std::string_view hex);

}  // namespace dialo
