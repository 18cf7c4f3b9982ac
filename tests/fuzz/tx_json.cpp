// A transaction as JSON (the platform's and WhatsOnChain's "/tx/<txid>" answers): the poller's
// data-output extraction.

#include <nlohmann/json.hpp>

#include "call/poller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const nlohmann::json tx = nlohmann::json::parse(data, data + size, nullptr, false);
    bool truncated = false, hasData = false;
    (void)dialo::payloadFromTxJson(tx, &truncated, &hasData);
    (void)dialo::payloadFromTxJson(tx);
    return 0;
}
