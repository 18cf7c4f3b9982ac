#include "base/config.h"

#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/data_dir.h"

namespace dialo {
namespace {

std::mutex gConfigMutex;
NetworkConfig gNetwork;
AudioConfig gAudio;

void takeText(const nlohmann::json& obj, const char* key, std::string& out) {
    auto it = obj.find(key);
    if (it != obj.end() && it->is_string()) out = it->get<std::string>();
}

void takePort(const nlohmann::json& obj, const char* key, int& out) {
    auto it = obj.find(key);
    if (it != obj.end() && it->is_number_integer()) {
        int64_t v = it->get<int64_t>();
        if (v > 0 && v < 65536) out = int(v);
    }
}

}  // namespace

NetworkConfig networkConfig() {
    std::lock_guard<std::mutex> lock(gConfigMutex);
    return gNetwork;
}

AudioConfig audioConfig() {
    std::lock_guard<std::mutex> lock(gConfigMutex);
    return gAudio;
}

void applyConfigDocument(const nlohmann::json& shared) {
    if (!shared.is_object()) return;
    NetworkConfig net;
    AudioConfig audio;
    if (auto it = shared.find("network"); it != shared.end() && it->is_object()) {
        const auto& n = *it;
        takeText(n, "service_domain", net.serviceDomain);
        takeText(n, "service_address", net.serviceAddress);
        takePort(n, "service_port", net.servicePort);
        takePort(n, "directory_port", net.directoryPort);
        takeText(n, "woc_base", net.wocBase);
        takeText(n, "arc_base", net.arcBase);
        takeText(n, "update_base", net.updateBase);
        takeText(n, "event_fee_address", net.eventFeeAddress);
        takeText(n, "call_fee_address", net.callFeeAddress);
        takeText(n, "ca_file", net.caFile);
    }
    if (auto it = shared.find("audio"); it != shared.end() && it->is_object()) {
        const auto& a = *it;
        std::string backend;
        takeText(a, "backend", backend);
        if (backend == "file") audio.backend = AudioBackend::File;
        else if (backend == "none") audio.backend = AudioBackend::None;
        takeText(a, "input_wav", audio.inputWav);
        takeText(a, "output_wav", audio.outputWav);
    }
    std::lock_guard<std::mutex> lock(gConfigMutex);
    gNetwork = std::move(net);
    gAudio = std::move(audio);
}

std::string caFilePath() {
    std::string configured = networkConfig().caFile;
    return configured.empty() ? platformDirectory() + "/devnet-ca.pem" : configured;
}

}  // namespace dialo
