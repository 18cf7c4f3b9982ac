#include "base/text.h"

#include <cctype>
#include <charconv>
#include <ctime>

namespace dialo {

std::string_view trimBlanks(std::string_view text) {
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string speakerHandle(std::string_view handle) {
    std::string_view h = trimBlanks(handle);
    if (!h.empty() && (h.front() == '@' || h.front() == '$')) h = trimBlanks(h.substr(1));
    return lowerAscii(h);
}

std::string normalizeHandle(std::string_view text) {
    size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '@')) ++start;
    std::string_view rest = text.substr(start);
    if (size_t at = rest.find('@'); at != std::string_view::npos) rest = rest.substr(0, at);
    while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
    return std::string(rest);
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

bool readDecimal(std::string_view text, size_t maxDigits, int64_t& out) {
    if (text.empty() || text.size() > maxDigits) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool sameHandle(std::string_view a, std::string_view b) {
    return lowerAscii(normalizeHandle(a)) == lowerAscii(normalizeHandle(b));
}

std::string formatMessageTime(int64_t unixSeconds) {
    if (unixSeconds <= 0) return "time not on the message";
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return {};
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%d %b %Y, %H:%M", &local);
    return std::string(buf, n);
}

}  // namespace dialo
