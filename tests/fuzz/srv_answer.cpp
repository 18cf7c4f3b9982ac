// A DNS reply to the SRV query for a paymail domain's _bsvalias._tcp host.

#include <cstdlib>

#include "vaultra/resolve.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string host = dialo::srv_host_from_answer(data, size);
    if (!host.empty() && !dialo::valid_paymail_domain(host)) std::abort();
    return 0;
}
