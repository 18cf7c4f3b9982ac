#include "base/json_fields.h"

#include <nlohmann/json.hpp>

namespace dialo {

std::string string_field(const nlohmann::json& doc, const char* key) {
    if (!doc.is_object()) return {};
    auto it = doc.find(key);
    return (it != doc.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

std::string json_file_text(const nlohmann::json& doc) {
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace dialo
