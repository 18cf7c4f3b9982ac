// A paymail host's answers: its capability document (.well-known/bsvalias) and its P2P and
// basic destination replies. The first byte picks the reader; seeds are the devnet's paymail
// host's answers (make_corpus.cpp).

#include <cstdlib>

#include "fuzz_common.h"
#include "vaultra/resolve.h"

using namespace dialo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string body(fuzz::text(data + 1, size - 1));
    Resolution out;
    std::string error;
    switch (data[0] % 3) {
    case 0: {
        PaymailCapabilities caps;
        if (!read_paymail_capabilities(body, "alice", "paymail.test", "pm.paymail.test", caps)) break;
        // A capability URL never leaves HTTPS.
        for (const std::string* url : {&caps.p2p, &caps.basic, &caps.receive})
            if (!url->empty() && url->rfind("https://", 0) != 0) std::abort();
        break;
    }
    case 1:
        if (read_p2p_destination(body, 1, out, error) && out.address.empty()) std::abort();
        break;
    case 2:
        if (read_basic_destination(body, 1, out, error) && out.address.empty()) std::abort();
        break;
    }
    return 0;
}
