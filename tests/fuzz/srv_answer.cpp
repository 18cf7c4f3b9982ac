// A DNS reply to the SRV query for a paymail domain's _bsvalias._tcp host.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string host = srv_host_from_answer(data, size);
    if (!host.empty() && !valid_paymail_domain(host)) std::abort();
    return 0;
}
