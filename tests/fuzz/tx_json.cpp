// The poller's data-output extraction from a transaction as JSON.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const nlohmann::json tx = nlohmann::json::parse(data, data + size, nullptr, false);
    bool truncated = false, hasData = false;
    (void)payloadFromTxJson(tx, &truncated, &hasData);
    (void)payloadFromTxJson(tx);
    return 0;
}
