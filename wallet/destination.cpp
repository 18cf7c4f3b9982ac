#include "wallet/destination.h"

#include "base/config.h"
#include "base/text.h"

namespace dialo {

std::string normalize_destination(std::string_view text) {
    text = trimBlanks(text);
    while (!text.empty() && (text.front() == '@' || text.front() == '$')) text.remove_prefix(1);
    std::string out(text);
    if (!out.empty() && out[0] != '1') out = lowerAscii(out);
    const std::string own = "@" + lowerAscii(networkConfig().serviceDomain);
    size_t at = out.find('@');
    if (at != std::string::npos && lowerAscii(out.substr(at)) == own) out.resize(at);
    return out;
}

}  // namespace dialo
