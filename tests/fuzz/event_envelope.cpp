// A data-output payload as the poller hands it to the dispatcher: the outer envelope, ECIES
// unseal with the fixed identity key, the event's JSON, its signature check and the reading
// of its keys. Seeds are envelopes make_corpus.cpp sealed to that key.

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "call/event.h"
#include "fuzz_common.h"
#include "vaultra/envelope.h"

using namespace dialo;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::isolate();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::optional<nlohmann::json> event = openPayloadWith(fuzz::text(data, size), fuzz::kIdentityPriv);
    if (!event) return 0;
    (void)verify_protocol_message(*event);
    ReceivedEvent read;
    if (readEvent(*event, read)) (void)verify_protocol_message(read.fields);
    return 0;
}
