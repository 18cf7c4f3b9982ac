#include "app/network_check.h"

#include <curl/curl.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "base/config.h"
#include "store/phone_store.h"
#include "wallet/encoding.h"
#include "wallet/http.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr long kConnectMs = 8000;
constexpr long kTimeoutMs = 12000;
constexpr size_t kBodyCap = 1u << 20;

struct Question {
    std::string service;
    std::string key;   // the configuration key of its URL
    std::string base;  // empty: not configured
    std::string path;
    std::string apiKeyName;  // the configuration key of its API key, if it takes one
    bool apiKeySet = false;
    // What a good answer looks like; the detail shown when it does.
    bool (*good)(const json& body, std::string& detail) = nullptr;
};

bool paymailDocument(const json& j, std::string& detail) {
    if (!j.is_object() || !j.contains("capabilities")) return false;
    detail = "answered (paymail capabilities)";
    return true;
}

bool chainInfo(const json& j, std::string& detail) {
    auto it = j.is_object() ? j.find("blocks") : j.end();
    if (it == j.end() || !it->is_number_integer()) return false;
    detail = "answered (height " + std::to_string(it->get<int64_t>()) + ")";
    return true;
}

bool arcPolicy(const json& j, std::string& detail) {
    if (!j.is_object() || !j.contains("policy")) return false;
    detail = "answered (mining policy)";
    return true;
}

bool poundRate(const json& j, std::string& detail) {
    auto it = j.is_object() ? j.find("gbp") : j.end();
    if (it == j.end() || !it->is_number()) return false;
    detail = "answered (the pound rate)";
    return true;
}

// Why a service did not answer as it should, in words a user can act on.
std::string whyNot(const GetReply& reply, const Question& q) {
    if (reply.status < 0) return "did not answer: " + (reply.error.empty() ? std::string("no reply") : reply.error);
    const std::string http = "HTTP " + std::to_string(reply.status);
    if (reply.status == 401 || reply.status == 403) {
        if (q.apiKeyName.empty()) return "refused: " + http;
        return "refused: " + http + (q.apiKeySet ? " (is network." + q.apiKeyName + " right?)"
                                                 : " (it may want a key in network." + q.apiKeyName + ")");
    }
    if (reply.status == 429) return "answered " + http + ": rate-limited, try again in a while";
    if (reply.status == 404) return "answered " + http + ": nothing there (is network." + q.key + " right?)";
    if (reply.status >= 300 && reply.status <= 399) {
        // The server's own words, shown only as far as an address's printable characters go.
        std::string to = reply.redirect.substr(0, 120);
        std::erase_if(to, [](char c) { return c < 0x21 || c > 0x7e; });
        return "answered " + http + ": it points elsewhere (" + to + ")";
    }
    if (reply.status >= 500) return "answered " + http + ": the service has a fault";
    return "answered " + http + ", not as " + q.service + " does (is network." + q.key + " right?)";
}

ServiceAnswer ask(const Question& q) {
    ServiceAnswer a;
    a.service = q.service;
    if (q.base.empty()) {
        a.detail = "not asked: network." + q.key + " is not set";
        return a;
    }
    a.url = q.base + q.path;
    if (urlHost(q.base).empty()) {
        a.detail = "not asked: network." + q.key + " is not an https:// URL";
        return a;
    }
    a.keySent = q.apiKeySet;
    GetSetup setup;
    setup.connectMs = kConnectMs;
    setup.timeoutMs = kTimeoutMs;
    setup.bodyCap = kBodyCap;
    setup.followRedirects = false;
    const GetReply reply = https_get(a.url, setup);
    if (!q.good) {
        // A page a browser opens: any answer short of a fault shows the host is there.
        a.answered = reply.status >= 200 && reply.status < 500;
        a.detail = a.answered ? "answered (HTTP " + std::to_string(reply.status) + ")" : whyNot(reply, q);
        return a;
    }
    const json body = json::parse(reply.body, nullptr, false);
    a.answered = reply.status >= 200 && reply.status < 300 && q.good(body, a.detail);
    if (!a.answered) a.detail = whyNot(reply, q);
    return a;
}

void noteAddress(const NetworkConfig& net, const std::string& address, const char* key, std::vector<std::string>& notes) {
    Hash160 hash{};
    if (address.empty()) {
        if (!net.devnet) notes.push_back(std::string("network.") + key + " is not set: nothing is sent until it is");
    } else if (!decode_p2pkh_address(address, hash)) {
        notes.push_back(std::string("network.") + key + " is not an address");
    }
}

}  // namespace

bool NetworkCheck::allAnswered() const {
    return std::all_of(services.begin(), services.end(), [](const ServiceAnswer& a) { return a.answered; });
}

NetworkCheck checkNetwork() {
    const NetworkConfig net = networkConfig();
    NetworkCheck check;
    check.network = networkLabel(net);
    check.profile = profileName(net.profile);
    if (!net.unknownProfile.empty())
        check.notes.push_back("network.profile \"" + net.unknownProfile +
                              "\" is not a profile (devnet or main): the devnet's values are used");
    noteAddress(net, net.eventFeeAddress, "event_fee_address", check.notes);
    noteAddress(net, net.callFeeAddress, "call_fee_address", check.notes);
    if (!net.caFile.empty()) check.notes.push_back("network.ca_file is trusted for the services' hosts: " + net.caFile);

    const std::string platform = net.serviceDomain.empty() ? std::string() : service_url("");
    const Question questions[] = {
        {"platform", "service_domain", platform, "/.well-known/bsvalias", "", false, paymailDocument},
        {"WhatsOnChain", "woc_base", net.wocBase, "/chain/info", "woc_api_key", !net.wocApiKey.empty(), chainInfo},
        {"ARC", "arc_base", net.arcBase, "/v1/policy", "arc_api_key", !net.arcApiKey.empty(), arcPolicy},
        {"update site", "update_base", net.updateBase, "/n-rate.json", "", false, poundRate},
        {"explorer", "explorer_base", net.explorerBase, "/", "", false, nullptr},
    };
    for (const Question& q : questions) check.services.push_back(ask(q));
    return check;
}

std::string networkCheckText(const NetworkCheck& check) {
    std::string out = "network: " + check.network + " (profile " + check.profile + ")\n";
    for (const std::string& note : check.notes) out += "  note: " + note + "\n";
    size_t width = 0;
    for (const ServiceAnswer& a : check.services) width = std::max(width, a.service.size());
    for (const ServiceAnswer& a : check.services) {
        out += "  " + a.service + std::string(width - a.service.size(), ' ') + "  " + (a.answered ? "ok    " : "FAILED") +
               "  " + (a.url.empty() ? "-" : a.url) + "\n" + std::string(width + 12, ' ') + a.detail + (a.keySent ? ", API key sent" : "") + "\n";
    }
    out += check.allAnswered() ? "every service answered\n" : "not every service answered\n";
    return out;
}

bool runNetworkCheck(std::string& report) {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        report = "cannot start libcurl\n";
        return false;
    }
    load_settings();
    const NetworkCheck check = checkNetwork();
    report = networkCheckText(check);
    curl_global_cleanup();
    return check.allAnswered();
}

}  // namespace dialo
