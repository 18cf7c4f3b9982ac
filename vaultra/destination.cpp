#include "vaultra/destination.h"

#include <cctype>

#include "app/text.h"
#include "store/config.h"

namespace dialo {

std::string normalize_destination(std::string_view text) {
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    while (!text.empty() && (text.front() == '@' || text.front() == '$')) text.remove_prefix(1);
    std::string out(text);
    if (!out.empty() && out[0] != '1') out = lowerAscii(out);
    const std::string own = "@" + lowerAscii(networkConfig().serviceDomain);
    size_t at = out.find('@');
    if (at != std::string::npos && lowerAscii(out.substr(at)) == own) out.resize(at);
    return out;
}

}  // namespace dialo
