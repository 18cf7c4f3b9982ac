#include "base/json_fields.h"

#include <charconv>

#include <nlohmann/json.hpp>

namespace dialo {

std::string string_field(const nlohmann::json& doc, const char* key) {
    if (!doc.is_object()) return {};
    auto it = doc.find(key);
    return (it != doc.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

int64_t int_field(const nlohmann::json& doc, const char* key) {
    if (!doc.is_object()) return 0;
    auto it = doc.find(key);
    if (it == doc.end()) return 0;
    if (it->is_number_integer()) return it->get<int64_t>();
    if (it->is_number_float()) {
        const double d = it->get<double>();
        // Out of range would be undefined; such a value reads as unreadable.
        return (d > -9.2e18 && d < 9.2e18) ? int64_t(d) : 0;
    }
    if (it->is_string()) {
        const std::string& s = it->get_ref<const std::string&>();
        int64_t v = 0;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        return (ec == std::errc() && end == s.data() + s.size()) ? v : 0;
    }
    return 0;
}

bool json_depth_within(std::string_view text, size_t maxDepth) {
    size_t depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

std::string json_file_text(const nlohmann::json& doc) {
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace dialo
