#pragma once
// Reading single fields out of JSON from files and peers, where any value may be missing or of
// the wrong type, and the text JSON files are written in.

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace dialo {

/// The string at `key` of an object; empty when absent, not a string, or not an object.
std::string string_field(const nlohmann::json& doc, const char* key);

/// An integer field as peers write them: the value of an integer, a float truncated toward
/// zero, a string of decimal digits parsed; 0 when absent, unreadable or of another type.
int64_t int_field(const nlohmann::json& doc, const char* key);

/// Nesting no document of ours comes near; the JSON library copies, prints and a wipe walks a
/// value by recursion, so a deeper text would use the stack up.
inline constexpr size_t kMaxJsonDepth = 100;

/// Whether the arrays and objects of a JSON text nest at most `maxDepth` deep (strings are
/// skipped; the text need not be valid JSON). Checked before parsing a file or a peer's answer
/// that is then copied or written back.
bool json_depth_within(std::string_view text, size_t maxDepth = kMaxJsonDepth);

/// A document as the files on disk hold it: two-space indentation, a final line feed, and
/// invalid UTF-8 replaced rather than thrown on.
std::string json_file_text(const nlohmann::json& doc);

}  // namespace dialo
