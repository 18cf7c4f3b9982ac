#pragma once
// Shared inside store/ only: tolerant readers of stored JSON values.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "state/records.h"

namespace dialo::store_detail {

/// Reads values out of stored JSON without ever throwing. A value present with a type its
/// conversion refuses leaves the default and sets `fault`, so callers can tell a clean read
/// from one that had to guess.
struct JsonReader {
    bool fault = false;

    /// Any JSON number (fraction truncated) or a boolean; out-of-range numbers are faults.
    int64_t integer(const nlohmann::json& obj, const char* key, int64_t def, int64_t lo = INT64_MIN,
                    int64_t hi = INT64_MAX);
    bool boolean(const nlohmann::json& obj, const char* key, bool def);
    std::string text(const nlohmann::json& obj, const char* key);
};

bool hasKey(const nlohmann::json& obj, const char* key);

/// A stored file's text parsed; discarded when it is not JSON or nests deeper than any file
/// of ours (its copies and the write-back would use the stack up).
nlohmann::json parseStored(const std::string& text);

/// Settings keys of a shared or per-handle document; only keys present change anything.
void applySettings(const nlohmann::json& doc, PhoneSettings& settings, JsonReader& reader);

/// Writes text through a temporary file and keeps the previous copy aside as <path>.bak
/// (or .bak.N when that exists). False when the copy could not be kept.
bool keepAside(const std::string& path, const std::string& text);

}  // namespace dialo::store_detail
