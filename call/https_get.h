#pragma once
// The phone core's HTTPS GET for polling and reading transactions: one kept-alive connection
// per host (the platform, WhatsOnChain), so a phone polling several times a second opens no
// new TLS session per poll, and the back-off deadlines that 429 and 503 answers set.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace dialo {

/// GETs a URL; the body whatever the status (at most 8 MiB), empty on any transport failure.
/// Platform requests wait for each other on the kept connection; a WhatsOnChain request that
/// finds it busy goes on a connection of its own. A 429 or 503 moves `backoff` (the
/// WhatsOnChain back-off when null) to now + max(backoffMs, 1000) and answers empty.
std::string httpsGet(const std::string& url, int timeoutMs, std::atomic<uint64_t>* backoff, int backoffMs);

/// A platform GET that the server may hold (a push listing's wait), on a kept connection of its
/// own so that the platform connection the other requests share is never held up by it. Ends
/// within about a second once the phone stops running or `abandon` answers true. Its status in
/// `status` (-1 on a transport failure); a 429 or 503 moves `backoff` to now + the longer of
/// `backoffMs` (at least a second) and the answer's Retry-After, and answers empty.
std::string httpsGetLong(const std::string& url, int timeoutMs, std::atomic<uint64_t>& backoff, int backoffMs,
                         const std::function<bool()>& abandon, long* status = nullptr);

/// TCP connections these GETs have opened since start: with the kept connections, a phone
/// polling all day opens a handful.
uint64_t phoneConnectionsOpened();

/// Closes the kept connections (at shutdown, before libcurl's global cleanup).
void releasePhoneConnections();

}  // namespace dialo
