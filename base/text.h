#pragma once
// Small text helpers shared by the phone core, the store and the platform service.

#include <cstdint>
#include <string>
#include <string_view>

namespace dialo {

/// The bare alias of a typed handle: leading blanks and '@' dropped (in any mix), cut at the
/// next '@', trailing blanks dropped. Case is kept.
std::string normalizeHandle(std::string_view text);

/// The text without white space at either end.
std::string_view trimBlanks(std::string_view text);

/// ASCII lower case, byte by byte; other bytes unchanged.
std::string lowerAscii(std::string_view text);

/// A whole number written as 1 to `maxDigits` decimal digits and nothing else (no sign, no
/// blanks), as query parameters and stored counters are; false for anything else or a value
/// past int64_t.
bool readDecimal(std::string_view text, size_t maxDigits, int64_t& out);

/// The identity a handle names, as signatures are checked and the platform's directory is asked:
/// white space trimmed at both ends, one leading '@' or '$' removed, trimmed again, ASCII lower
/// case. Every decision about who speaks compares handles in this form.
std::string speakerHandle(std::string_view handle);

/// True when two handles name the same alias (normalised, compared without ASCII case).
bool sameHandle(std::string_view a, std::string_view b);

/// Local time of a message as "06 Dec 2026, 07:28"; "time not on the message" for 0 or less;
/// empty when the time cannot be converted.
std::string formatMessageTime(int64_t unixSeconds);

}  // namespace dialo
