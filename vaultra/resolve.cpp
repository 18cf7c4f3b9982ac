#include "vaultra/resolve.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "base/json_fields.h"
#include "base/text.h"
#include "vaultra/own_handle.h"
#include "wallet/destination.h"
#include "wallet/encoding.h"
#include "wallet/http.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr int kGetTimeoutSeconds = 12;
constexpr int kPostTimeoutSeconds = 12;
constexpr size_t kMaxOutputs = 20;
constexpr int64_t kMaxSatoshis = 2100000000000000;
constexpr uint16_t kHttpsPort = 443;

constexpr char kEnterDestination[] = "enter a handle, paymail, or 1-address.";
constexpr char kBadPaymail[] = "could not resolve that paymail";
constexpr char kNoWallet[] = "no Vaultra wallet. Create first.";
constexpr char kTooManyOutputs[] = "that paymail host asked for too many outputs";
constexpr char kNoAddress[] = "that paymail host did not return a payment address";
constexpr char kOtherAmount[] = "that paymail host returned a different amount";
constexpr char kSeveralOutputs[] = "that paymail host asked for more than one output";

bool asciiLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool validP2pkh(const std::string& address) {
    Hash160 h{};
    return decode_p2pkh_address(address, h);
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// A capability URL of the document, or empty when it may not be used: it must stay on HTTPS
// and on the host the document came from (or the paymail's own domain), so a host cannot send
// the phone's request anywhere else.
std::string capabilityUrl(const json& caps, const char* key, const std::string& alias, const std::string& domain,
                          const std::string& host) {
    auto it = caps.find(key);
    if (it == caps.end() || !it->is_string()) return {};
    std::string url = it->get<std::string>();
    replaceAll(url, "{alias}", alias);
    replaceAll(url, "{domain.tld}", domain);
    constexpr std::string_view scheme = "https://";
    if (!url.starts_with(scheme)) return {};
    const std::string authority = url.substr(scheme.size(), url.find('/', scheme.size()) - scheme.size());
    if (authority.find('@') != std::string::npos) return {};
    if (authority != host && authority != domain) return {};
    return url;
}

// One output the host asked for: its address when its script is a standard P2PKH one.
struct Asked {
    std::string address;  // empty: not a usable output
    int64_t satoshis = 0;
    bool amountValid = true;
};

Asked askedFromScript(const json& script, const json& satoshis) {
    Asked a;
    if (script.is_string()) {
        Hash160 h{};
        if (is_p2pkh_script(hex_decode(script.get<std::string>()), &h)) a.address = address_from_hash(h);
    }
    if (satoshis.is_number_integer() && satoshis.get<int64_t>() >= 0 && satoshis.get<int64_t>() <= kMaxSatoshis)
        a.satoshis = satoshis.get<int64_t>();
    else
        a.amountValid = false;
    return a;
}

// The checks every destination answer goes through; the address of its single output.
bool checkOutputs(const std::vector<Asked>& outputs, int64_t amount, std::string& address, std::string& error) {
    if (outputs.size() > kMaxOutputs) {
        error = kTooManyOutputs;
        return false;
    }
    int64_t total = 0;
    bool amountValid = true;
    for (const Asked& a : outputs) {
        if (address.empty()) address = a.address;
        total += a.satoshis;
        amountValid = amountValid && a.amountValid;
    }
    if (address.empty()) {
        error = kNoAddress;
        return false;
    }
    if (!amountValid || total != amount) error = kOtherAmount;
    else if (outputs.size() > 1) error = kSeveralOutputs;
    if (!error.empty()) {
        address.clear();
        return false;
    }
    return true;
}

json parseObject(const std::string& text) {
    // A host's answer nested deeper than any real one would use the stack up when copied.
    if (!json_depth_within(text)) return json::object();
    json j = json::parse(text, nullptr, false);
    if (!j.is_object()) return json::object();
    return j;
}

// Owns a resolver state from res_ninit to res_nclose.
struct ResolverState {
    struct __res_state state;
    bool ready = false;
    ResolverState() {
        std::memset(&state, 0, sizeof state);
        ready = res_ninit(&state) == 0;
    }
    ~ResolverState() {
        if (ready) res_nclose(&state);
    }
    ResolverState(const ResolverState&) = delete;
    ResolverState& operator=(const ResolverState&) = delete;
};

}  // namespace

bool valid_paymail_alias(std::string_view alias) {
    if (alias.empty() || alias.size() > 64) return false;
    for (char c : alias)
        if (!asciiLetterOrDigit(c) && c != '+' && c != '-' && c != '.' && c != '_') return false;
    return true;
}

bool valid_paymail_domain(std::string_view domain) {
    if (domain.size() < 3 || domain.size() > 253) return false;
    if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string_view::npos) return false;
    if (domain.find('.') == std::string_view::npos) return false;
    for (char c : domain)
        if (!asciiLetterOrDigit(c) && c != '-' && c != '.') return false;
    // An address is no domain: a paymail naming this machine would have the phone pay whoever
    // listens on it. Only the devnet, which lives there, serves paymail on one.
    // Any spelling the resolver reads as an address counts ("0x7f.1" is 127.0.0.1 too).
    const std::string_view last = domain.substr(domain.rfind('.') + 1);
    const bool numeric = std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; });
    in_addr parsed{};
    const bool address = numeric || ::inet_aton(std::string(domain).c_str(), &parsed) != 0;
    return !address || networkConfig().devnet;
}

Resolution resolve_destination(std::string_view destination, int64_t amount, const std::string& payerPaymail,
                               std::string& error) {
    (void)amount;  // a paymail host is always asked for the 1 satoshi an event pays
    error.clear();
    Resolution out;
    const std::string text = normalize_destination(destination);
    if (text.empty()) {
        error = kEnterDestination;
        return out;
    }
    if (size_t at = text.find('@'); at != std::string::npos) {
        const std::string alias = text.substr(0, at), domain = text.substr(at + 1);
        if (!valid_paymail_alias(alias) || !valid_paymail_domain(domain)) {
            error = kBadPaymail;
            return out;
        }
        if (!paymail_p2p_lookup(alias, domain, 1, payerPaymail, out, error)) out = Resolution();
        return out;
    }
    {
        auto g = lockWallet();
        if (!load_wallet(g.state)) {
            error = kNoWallet;
            return out;
        }
        if (text.size() >= 26 && text.starts_with('1') && validP2pkh(text)) {
            out.address = text;
            return out;
        }
    }
    // The directory is asked without the wallet lock: a slow platform must not stall spends.
    if (!platform_address_lookup(text, out.address, error)) out.address.clear();
    return out;
}

bool platform_address_lookup(const std::string& handle, std::string& address, std::string& error) {
    address.clear();
    error.clear();
    const NetworkConfig net = networkConfig();
    const std::string paymail = handle + "@" + net.serviceDomain;
    const std::string path = "/api/bsvalias/address/" + url_path_segment(paymail);
    std::vector<std::string> urls{service_url(path)};
    // The same-machine copy is asked only where its certificate can be checked: any local user
    // can listen on that port, and the address it names is where the call's payments go.
    if (sameMachineDirectory(net)) urls.push_back("https://127.0.0.1:" + std::to_string(net.directoryPort) + path);
    for (const std::string& url : urls) {
        std::string body, why;
        if (!https_get(url, body, why)) continue;
        const json j = parseObject(body);
        auto it = j.find("address");
        if (it != j.end() && it->is_string() && validP2pkh(it->get<std::string>())) {
            address = it->get<std::string>();
            return true;
        }
    }
    error = "could not resolve " + paymail;
    return false;
}

bool read_paymail_capabilities(const std::string& body, const std::string& alias, const std::string& domain,
                               const std::string& host, PaymailCapabilities& out) {
    out = PaymailCapabilities();
    const json doc = parseObject(body);
    auto caps = doc.find("capabilities");
    if (caps == doc.end() || !caps->is_object()) return false;
    out.p2p = capabilityUrl(*caps, "2a40af698840", alias, domain, host);
    out.basic = capabilityUrl(*caps, "paymentDestination", alias, domain, host);
    out.receive = capabilityUrl(*caps, "5f1323cddf31", alias, domain, host);
    return true;
}

bool read_p2p_destination(const std::string& text, int64_t amount, Resolution& out, std::string& error) {
    out = Resolution();
    error.clear();
    const json reply = parseObject(text);
    std::vector<Asked> outputs;
    auto list = reply.find("outputs");
    if (list != reply.end() && list->is_array()) {
        for (const json& o : *list) {
            json script, sats;
            if (o.is_object()) {
                if (auto s = o.find("script"); s != o.end()) script = *s;
                if (auto n = o.find("satoshis"); n != o.end()) sats = *n;
            }
            outputs.push_back(askedFromScript(script, sats));
        }
    }
    if (!checkOutputs(outputs, amount, out.address, error)) return false;
    auto ref = reply.find("reference");
    if (ref != reply.end() && ref->is_string()) out.reference = ref->get<std::string>();
    return true;
}

bool read_basic_destination(const std::string& text, int64_t amount, Resolution& out, std::string& error) {
    out = Resolution();
    error.clear();
    const json reply = parseObject(text);
    std::vector<Asked> outputs;
    auto script = reply.find("output");
    auto address = reply.find("address");
    if (script != reply.end() && script->is_string()) {
        outputs.push_back(askedFromScript(*script, json(amount)));
    } else if (address != reply.end() && address->is_string()) {
        Asked a;
        a.satoshis = amount;
        if (validP2pkh(address->get<std::string>())) a.address = address->get<std::string>();
        outputs.push_back(a);
    }
    return checkOutputs(outputs, amount, out.address, error);
}

bool paymail_p2p_lookup(const std::string& alias, const std::string& domain, int64_t amount,
                        const std::string& payerPaymail, Resolution& out, std::string& error) {
    out = Resolution();
    error.clear();
    const std::string paymail = alias + "@" + domain;
    auto unresolved = [&error, &paymail] {
        error = "could not resolve " + paymail;
        return false;
    };
    std::string host = srv_lookup(domain);
    if (host.empty() || !valid_paymail_domain(host)) host = domain;

    std::string body, why;
    if (!https_get("https://" + host + "/.well-known/bsvalias", body, why) &&
        (host == domain || !https_get("https://" + domain + "/.well-known/bsvalias", body, why)))
        return unresolved();
    PaymailCapabilities caps;
    if (!read_paymail_capabilities(body, alias, domain, host, caps)) return unresolved();

    if (!caps.p2p.empty()) {
        std::string text;
        if (!post_json(caps.p2p, "{\"satoshis\":" + std::to_string(amount) + "}", text, why, kPostTimeoutSeconds, 1))
            return unresolved();
        if (!read_p2p_destination(text, amount, out, error)) return false;
        out.receiveUrl = caps.receive;
        return true;
    }
    if (!caps.basic.empty()) {
        std::string name = payerPaymail.substr(0, payerPaymail.find('@'));
        if (name.empty()) name = "payer";
        const json request = {{"senderName", name},
                              {"senderHandle", payerPaymail.empty() ? name : payerPaymail},
                              {"dt", nowUnixMs()},
                              {"amount", amount},
                              {"purpose", "payment"}};
        std::string text;
        if (!post_json(caps.basic, request.dump(-1, ' ', false, json::error_handler_t::replace), text, why,
                       kPostTimeoutSeconds, 1))
            return unresolved();
        return read_basic_destination(text, amount, out, error);
    }
    return unresolved();
}

std::string srv_lookup(const std::string& domain) {
    if (!valid_paymail_domain(domain)) return {};
    ResolverState rs;
    if (!rs.ready) return {};
    const NetworkConfig net = networkConfig();
    if (HostPin server; !net.dnsServer.empty() && parseHostPin(net.dnsServer, server)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(uint16_t(server.port > 0 ? server.port : NS_DEFAULTPORT));
        if (::inet_pton(AF_INET, server.address.c_str(), &sa.sin_addr) != 1) return {};
        rs.state.nscount = 1;
        rs.state.nsaddr_list[0] = sa;
    }
    std::vector<unsigned char> answer(NS_MAXMSG);
    const std::string name = "_bsvalias._tcp." + domain;
    int n = res_nquery(&rs.state, name.c_str(), ns_c_in, ns_t_srv, answer.data(), int(answer.size()));
    if (n <= 0) return {};
    return srv_host_from_answer(answer.data(), size_t(std::min(n, int(answer.size()))));
}

std::string srv_host_from_answer(const unsigned char* answer, size_t size) {
    if (size > NS_MAXMSG) return {};
    ns_msg msg;
    if (ns_initparse(answer, int(size), &msg) != 0) return {};
    std::string best;
    unsigned bestPriority = UINT_MAX;
    for (int i = 0; i < ns_msg_count(msg, ns_s_an); ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) != 0) continue;
        if (ns_rr_type(rr) != ns_t_srv || ns_rr_class(rr) != ns_c_in || ns_rr_rdlen(rr) < 7) continue;
        const unsigned char* rd = ns_rr_rdata(rr);
        const unsigned priority = ns_get16(rd);
        if (ns_get16(rd + 4) != kHttpsPort) continue;
        char target[NS_MAXDNAME];
        if (dn_expand(ns_msg_base(msg), ns_msg_end(msg), rd + 6, target, sizeof target) < 0) continue;
        std::string host = target;
        if (!host.empty() && host.back() == '.') host.pop_back();
        if (!valid_paymail_domain(host)) continue;
        // Of equal priorities the later record wins.
        if (priority <= bestPriority) {
            best = host;
            bestPriority = priority;
        }
    }
    return best;
}

bool https_get(const std::string& url, std::string& body, std::string& error) {
    const long code = get_once(url, body, error, kGetTimeoutSeconds);
    if (code < 0) return false;
    if (code >= 200 && code < 300) return true;
    error = "HTTP " + std::to_string(code);
    return false;
}

std::string own_paymail() {
    auto g = lockWallet();
    return own_paymail(g.state);
}

}  // namespace dialo
