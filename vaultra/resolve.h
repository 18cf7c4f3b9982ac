#pragma once
// What a user types (a handle, a paymail on another domain, a 1-address) turned into the
// payment address an event pays: the platform's directory for its own handles, the paymail
// protocol (DNS SRV, the capability document, P2P or basic destinations) for other domains.

#include <cstdint>
#include <string>
#include <string_view>

namespace dialo {

struct Resolution {
    std::string address;     // P2PKH; empty on failure
    std::string reference;   // P2P destinations: the host's reference for this payment
    std::string receiveUrl;  // P2P destinations: where the host takes the transaction
};

/// 1 to 64 letters, digits, "+", "-", "." or "_".
bool valid_paymail_alias(std::string_view alias);
/// 3 to 253 letters, digits, "-" and "."; a dot inside, none at either end, never two together;
/// an address (a numeric last label) only on the devnet.
bool valid_paymail_domain(std::string_view domain);

/// Resolves a destination; on failure the address is empty and `error` holds the text shown
/// to the user. The paymail path always asks for 1 satoshi.
Resolution resolve_destination(std::string_view destination, int64_t amount, const std::string& payerPaymail,
                               std::string& error);

/// The handle's address from the platform directory, then from the directory on this machine.
[[nodiscard]] bool platform_address_lookup(const std::string& handle, std::string& address, std::string& error);

/// The paymail protocol for alias@domain.
[[nodiscard]] bool paymail_p2p_lookup(const std::string& alias, const std::string& domain, int64_t amount,
                                      const std::string& payerPaymail, Resolution& out, std::string& error);

/// The host of _bsvalias._tcp.<domain> (port 443 records only, lowest priority), or empty.
std::string srv_lookup(const std::string& domain);

/// The best host of a DNS reply to an SRV query (as srv_lookup picks it), or empty.
std::string srv_host_from_answer(const unsigned char* answer, size_t size);

/// The destination URLs a capability document offers, each with {alias} and {domain.tld} filled
/// in; a URL that leaves HTTPS or the host the document came from (or the domain) is empty.
struct PaymailCapabilities {
    std::string p2p;      // P2P payment destinations
    std::string basic;    // basic payment destination
    std::string receive;  // P2P receive transaction
};
/// False when the body has no "capabilities" object.
[[nodiscard]] bool read_paymail_capabilities(const std::string& body, const std::string& alias,
                                             const std::string& domain, const std::string& host,
                                             PaymailCapabilities& out);

/// A P2P destinations reply: the address of its one output of exactly `amount` satoshis, and
/// its reference. False with the text to show otherwise.
[[nodiscard]] bool read_p2p_destination(const std::string& text, int64_t amount, Resolution& out, std::string& error);
/// A basic destination reply (an "output" script, else an "address"), checked the same way.
[[nodiscard]] bool read_basic_destination(const std::string& text, int64_t amount, Resolution& out,
                                          std::string& error);

/// HTTPS GET with a 12-second limit and redirects; success on 200-299.
[[nodiscard]] bool https_get(const std::string& url, std::string& body, std::string& error);

/// "handle@ServiceDomain" of the loaded wallet, or empty. Takes the wallet state lock.
std::string own_paymail();

}  // namespace dialo
