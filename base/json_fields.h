#pragma once
// Reading single fields out of JSON from files and peers, where any value may be missing or of
// the wrong type, and the text JSON files are written in.

#include <string>

#include <nlohmann/json.hpp>

namespace dialo {

/// The string at `key` of an object; empty when absent, not a string, or not an object.
inline std::string string_field(const nlohmann::json& doc, const char* key) {
    if (!doc.is_object()) return {};
    auto it = doc.find(key);
    return (it != doc.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

/// A document as the files on disk hold it: two-space indentation, a final line feed, and
/// invalid UTF-8 replaced rather than thrown on.
inline std::string json_file_text(const nlohmann::json& doc) {
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace dialo
