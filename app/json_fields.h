#pragma once
// Reading single fields out of JSON from files and peers, where any value may be missing or of
// the wrong type.

#include <string>

#include <nlohmann/json.hpp>

namespace dialo {

/// The string at `key` of an object; empty when absent, not a string, or not an object.
inline std::string string_field(const nlohmann::json& doc, const char* key) {
    if (!doc.is_object()) return {};
    auto it = doc.find(key);
    return (it != doc.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

}  // namespace dialo
