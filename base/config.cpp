#include "base/config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "platform/data_dir.h"

namespace dialo {
namespace {

std::mutex gConfigMutex;
NetworkConfig gNetwork;
AudioConfig gAudio;
std::optional<NetworkProfile> gProfileOverride;  // guarded by gConfigMutex

// The main network's public services. ARC at GorillaPool takes transactions without a key.
constexpr char kMainWoc[] = "https://api.whatsonchain.com/v1/bsv/main";
constexpr char kMainArc[] = "https://arc.gorillapool.io";
constexpr char kMainExplorer[] = "https://whatsonchain.com";

// What a profile sets before the user's keys are read. The main network has no platform host,
// pinned address or fee address of its own: the user, or the platform's operator, names them.
void startFrom(NetworkConfig& net, NetworkProfile profile) {
    net.profile = profile;
    if (profile != NetworkProfile::Main) return;
    net.serviceDomain.clear();
    net.serviceAddress.clear();
    net.servicePort = 443;
    net.wocBase = kMainWoc;
    net.arcBase = kMainArc;
    net.updateBase.clear();
    net.explorerBase = kMainExplorer;
    net.eventFeeAddress.clear();
    net.callFeeAddress.clear();
}

void takeText(const nlohmann::json& obj, const char* key, std::string& out) {
    auto it = obj.find(key);
    if (it != obj.end() && it->is_string()) out = it->get<std::string>();
}

bool takeInt(const nlohmann::json& obj, const char* key, int& out) {
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_number_integer()) return false;
    const int64_t v = it->get<int64_t>();
    if (v < INT32_MIN || v > INT32_MAX) return false;
    out = int(v);
    return true;
}

void takeBool(const nlohmann::json& obj, const char* key, bool& out) {
    auto it = obj.find(key);
    if (it != obj.end() && it->is_boolean()) out = it->get<bool>();
}

bool takeSats(const nlohmann::json& obj, const char* key, int64_t& out) {
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_number_integer() || it->get<int64_t>() < 0) return false;
    out = it->get<int64_t>();
    return true;
}

void takePort(const nlohmann::json& obj, const char* key, int& out) {
    auto it = obj.find(key);
    if (it != obj.end() && it->is_number_integer()) {
        int64_t v = it->get<int64_t>();
        if (v > 0 && v < 65536) out = int(v);
    }
}

bool isIpv4(const std::string& text) {
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool isLoopbackHost(const NetworkConfig& net, const std::string& host) {
    HostPin pin;
    const std::string address = pinnedHost(net, host, pin) ? pin.address : host;
    in_addr a{};
    if (address == "localhost") return true;
    return ::inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

// The devnet listens on loopback only; a configuration with any service elsewhere is a real
// network, whatever else it says.
bool allOnLoopback(const NetworkConfig& net) {
    if (!isLoopbackHost(net, net.serviceAddress)) return false;
    for (const std::string* base : {&net.wocBase, &net.arcBase, &net.updateBase})
        if (!isLoopbackHost(net, urlHost(*base))) return false;
    return true;
}

void takeHosts(const nlohmann::json& obj, std::map<std::string, HostPin>& out) {
    auto it = obj.find("hosts");
    if (it == obj.end() || !it->is_object()) return;
    for (const auto& [name, value] : it->items()) {
        HostPin pin;
        if (!name.empty() && value.is_string() && parseHostPin(value.get<std::string>(), pin))
            out[lowerAscii(name)] = std::move(pin);
    }
}

}  // namespace

bool parseHostPin(std::string_view text, HostPin& out) {
    HostPin pin;
    size_t colon = text.find(':');
    pin.address = std::string(text.substr(0, colon));
    if (!isIpv4(pin.address)) return false;
    if (colon != std::string_view::npos) {
        const char* first = text.data() + colon + 1;
        const char* last = text.data() + text.size();
        auto [end, ec] = std::from_chars(first, last, pin.port);
        if (ec != std::errc() || end != last || pin.port < 1 || pin.port > 65535) return false;
    }
    out = std::move(pin);
    return true;
}

bool pinnedHost(const NetworkConfig& net, std::string_view hostIn, HostPin& out) {
    if (net.hosts.empty() || hostIn.empty()) return false;
    const std::string host = lowerAscii(hostIn);
    if (auto it = net.hosts.find(host); it != net.hosts.end()) {
        out = it->second;
        return true;
    }
    for (size_t dot = host.find('.'); dot != std::string::npos; dot = host.find('.', dot + 1)) {
        if (auto it = net.hosts.find("*" + host.substr(dot)); it != net.hosts.end()) {
            out = it->second;
            return true;
        }
    }
    return false;
}

NetworkConfig networkConfig() {
    std::lock_guard<std::mutex> lock(gConfigMutex);
    return gNetwork;
}

AudioConfig audioConfig() {
    std::lock_guard<std::mutex> lock(gConfigMutex);
    return gAudio;
}

void setAudioConfig(const AudioConfig& audio) {
    std::lock_guard<std::mutex> lock(gConfigMutex);
    gAudio = audio;
}

uint32_t setChunkMs(int64_t ms) {
    const uint32_t held = uint32_t(std::clamp<int64_t>(ms, kMinChunkMs, kMaxChunkMs));
    std::lock_guard<std::mutex> lock(gConfigMutex);
    gAudio.chunkMs = held;
    gAudio.chunkMsSet = true;
    return held;
}

void applyConfigDocument(const nlohmann::json& shared) {
    if (!shared.is_object()) return;
    NetworkConfig net;
    AudioConfig audio;
    std::optional<NetworkProfile> chosen;
    {
        std::lock_guard<std::mutex> lock(gConfigMutex);
        chosen = gProfileOverride;
    }
    const auto nit = shared.find("network");
    const nlohmann::json n = nit != shared.end() && nit->is_object() ? *nit : nlohmann::json::object();
    {
        std::string name;
        takeText(n, "profile", name);
        NetworkProfile profile = NetworkProfile::Devnet;
        if (!chosen && parseProfile(name, profile)) chosen = profile;
        startFrom(net, chosen.value_or(NetworkProfile::Devnet));
        if (!chosen && !name.empty()) net.unknownProfile = name;
        takeText(n, "service_domain", net.serviceDomain);
        takeText(n, "service_address", net.serviceAddress);
        takePort(n, "service_port", net.servicePort);
        takePort(n, "directory_port", net.directoryPort);
        takeText(n, "woc_base", net.wocBase);
        takeText(n, "arc_base", net.arcBase);
        takeText(n, "update_base", net.updateBase);
        takeText(n, "explorer_base", net.explorerBase);
        takeText(n, "woc_api_key", net.wocApiKey);
        takeText(n, "arc_api_key", net.arcApiKey);
        // A key goes into a header line: one with a blank or a control character (a line
        // break would start a header of its own) is no key at all.
        for (std::string* key : {&net.wocApiKey, &net.arcApiKey})
            if (std::any_of(key->begin(), key->end(), [](char c) { return c < 0x21 || c > 0x7e; })) key->clear();
        if (net.updateBase.empty() && !net.serviceDomain.empty())
            net.updateBase = "https://" + net.serviceDomain + (net.servicePort == 443 ? "" : ":" + std::to_string(net.servicePort));
        takeText(n, "ca_file", net.caFile);
        takeBool(n, "push", net.push);
        takeText(n, "dns_server", net.dnsServer);
        HostPin dns;
        if (!net.dnsServer.empty() && !parseHostPin(net.dnsServer, dns)) net.dnsServer.clear();
        takeHosts(n, net.hosts);
        // Host names mapped to loopback do not make the main network a devnet.
        net.devnet = net.profile == NetworkProfile::Devnet && allOnLoopback(net);
        if (!net.devnet) {
            net.eventFeeAddress.clear();
            net.callFeeAddress.clear();
        }
        takeText(n, "event_fee_address", net.eventFeeAddress);
        takeText(n, "call_fee_address", net.callFeeAddress);
        takeSats(n, "max_call_fee_sats", net.maxCallFeeSats);
    }
    if (auto it = shared.find("audio"); it != shared.end() && it->is_object()) {
        const auto& a = *it;
        std::string backend;
        takeText(a, "backend", backend);
        if (backend == "file") audio.backend = AudioBackend::File;
        else if (backend == "none") audio.backend = AudioBackend::None;
        takeText(a, "input_wav", audio.inputWav);
        takeText(a, "output_wav", audio.outputWav);
        takeText(a, "server", audio.server);
        int rate = 0, channels = 0;
        std::string sample;
        if (takeInt(a, "output_rate", rate) && rate >= 8000 && rate <= 192000) audio.outputRate = uint32_t(rate);
        if (takeInt(a, "output_channels", channels) && channels >= 1 && channels <= 8) audio.outputChannels = uint32_t(channels);
        takeText(a, "output_sample", sample);
        if (sample == "s16") audio.outputFloat = false;
        if (auto it = a.find("chunk_ms"); it != a.end() && it->is_number_integer()) {
            audio.chunkMs = uint32_t(std::clamp<int64_t>(it->get<int64_t>(), kMinChunkMs, kMaxChunkMs));
            audio.chunkMsSet = true;
        }
    }
    std::lock_guard<std::mutex> lock(gConfigMutex);
    gNetwork = std::move(net);
    gAudio = std::move(audio);
}

bool parseProfile(std::string_view name, NetworkProfile& out) {
    if (name == "devnet") out = NetworkProfile::Devnet;
    else if (name == "main") out = NetworkProfile::Main;
    else return false;
    return true;
}

const char* profileName(NetworkProfile profile) { return profile == NetworkProfile::Main ? "main" : "devnet"; }

bool setProfileOverride(std::string_view name) {
    NetworkProfile profile;
    if (!parseProfile(name, profile)) return false;
    {
        std::lock_guard<std::mutex> lock(gConfigMutex);
        gProfileOverride = profile;
    }
    applyConfigDocument(nlohmann::json::object());  // until the stored settings are read
    return true;
}

std::string networkLabel(const NetworkConfig& net) {
    if (net.profile == NetworkProfile::Main) return "main network";
    return net.devnet ? "devnet" : "custom network";
}

std::string devnetCaPath() { return platformDirectory() + "/devnet-ca.pem"; }

std::string caFilePath() {
    const NetworkConfig net = networkConfig();
    if (!net.caFile.empty()) return net.caFile;
    return net.devnet ? devnetCaPath() : std::string();
}

std::string urlHost(std::string_view url) {
    constexpr std::string_view scheme = "https://";
    if (url.size() <= scheme.size() || lowerAscii(url.substr(0, scheme.size())) != scheme) return {};
    std::string_view rest = url.substr(scheme.size());
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
    if (rest.starts_with('[')) return {};  // the services are named or IPv4
    return lowerAscii(rest.substr(0, rest.find(':')));
}

bool sameMachineDirectory(const NetworkConfig& net) { return net.devnet || !net.caFile.empty(); }

bool caVouchesFor(const NetworkConfig& net, std::string_view hostIn) {
    const std::string host = lowerAscii(hostIn);
    if (host.empty()) return false;
    const std::string domain = lowerAscii(net.serviceDomain);
    if (!domain.empty() && (host == domain || host.ends_with("." + domain))) return true;
    for (const std::string* base : {&net.wocBase, &net.arcBase, &net.updateBase, &net.explorerBase})
        if (host == urlHost(*base)) return true;
    HostPin pin;
    if (pinnedHost(net, host, pin)) return true;
    return host == "127.0.0.1" && sameMachineDirectory(net);
}

}  // namespace dialo
