#include "tools/devnet/faults.h"

#include <cctype>

namespace dialo::devnet {

using nlohmann::json;

bool FaultTable::add(const json& request, std::string& error) {
    if (!request.is_object()) {
        error = "fault must be a JSON object";
        return false;
    }
    Fault f;
    auto text = [&](const char* key, std::string& out) {
        auto it = request.find(key);
        if (it == request.end() || it->is_null()) return true;
        if (!it->is_string()) return false;
        out = it->get<std::string>();
        return true;
    };
    auto integer = [&](const char* key, int64_t& out, int64_t lo, int64_t hi) {
        auto it = request.find(key);
        if (it == request.end() || it->is_null()) return true;
        if (!it->is_number_integer()) return false;
        out = it->get<int64_t>();
        return out >= lo && out <= hi;
    };
    int64_t status = 0, delay = 0;
    if (!text("path_prefix", f.pathPrefix) || !text("method", f.method) || !text("server", f.server) ||
        !text("host", f.host) ||
        !text("body", f.body) || !text("content_type", f.contentType) || !text("location", f.location) ||
        !integer("status", status, 0, 599) ||
        !integer("delay_ms", delay, 0, 120000) || !integer("count", f.remaining, 1, 1000000)) {
        error = "fault fields: path_prefix, method, server, host, body, content_type, location (text); status 100..599, "
                "delay_ms 0..120000, count 1..1000000 (integers); drop (boolean)";
        return false;
    }
    if (auto it = request.find("drop"); it != request.end() && !it->is_null()) {
        if (!it->is_boolean()) {
            error = "drop must be a boolean";
            return false;
        }
        f.drop = it->get<bool>();
    }
    if (f.pathPrefix.empty() || f.pathPrefix[0] != '/') {
        error = "path_prefix must start with /";
        return false;
    }
    if ((status != 0 && status < 100) || (status == 0 && !f.drop && delay == 0)) {
        error = "a fault needs a status (100..599), drop or delay_ms";
        return false;
    }
    if (!f.server.empty() && f.server != "service" && f.server != "directory" && f.server != "paymail") {
        error = "server must be service, directory or paymail";
        return false;
    }
    for (char& c : f.host) c = char(std::tolower(uint8_t(c)));
    f.status = int(status);
    f.delayMs = int(delay);
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(std::move(f));
    return true;
}

void FaultTable::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

std::optional<Fault> FaultTable::take(const std::string& server, const std::string& method, const std::string& path,
                                      const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (!path.starts_with(it->pathPrefix)) continue;
        if (!it->method.empty() && it->method != method) continue;
        if (!it->server.empty() && it->server != server) continue;
        if (!it->host.empty() && it->host != host) continue;
        Fault f = *it;
        if (--it->remaining <= 0) faults_.erase(it);
        return f;
    }
    return std::nullopt;
}

size_t FaultTable::pending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_.size();
}

std::string defaultFaultPage(int status) {
    std::string code = std::to_string(status);
    return "<!DOCTYPE html>\n<html><head><title>" + code + "</title></head><body><h1>" + code +
           "</h1><p>The server cannot answer this request now.</p></body></html>\n";
}

}  // namespace dialo::devnet
