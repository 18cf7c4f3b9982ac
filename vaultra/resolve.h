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
/// 3 to 253 letters, digits, "-" and "."; a dot inside, none at either end, never two together.
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

/// HTTPS GET with a 12-second limit and redirects; success on 200-299.
[[nodiscard]] bool https_get(const std::string& url, std::string& body, std::string& error);

/// "handle@ServiceDomain" of the loaded wallet, or empty. Takes the wallet state lock.
std::string own_paymail();

}  // namespace dialo
