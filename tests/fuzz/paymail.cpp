// A paymail host's answers; the first byte picks the reader.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string body = fuzz::text(data + 1, size - 1);
    Resolution out;
    std::string error;
    PaymailCapabilities caps;
    if (data[0] % 3 == 0 && read_paymail_capabilities(body, "alice", "paymail.test", "pm.paymail.test", caps))
        for (const std::string* url : {&caps.p2p, &caps.basic, &caps.receive})
            if (!url->empty() && url->rfind("https://", 0) != 0) std::abort();  // never leaves HTTPS
    if (data[0] % 3 == 1 && read_p2p_destination(body, 1, out, error) && out.address.empty()) std::abort();
    if (data[0] % 3 == 2 && read_basic_destination(body, 1, out, error) && out.address.empty()) std::abort();
    return 0;
}
