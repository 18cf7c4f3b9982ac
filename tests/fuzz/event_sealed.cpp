// The layers behind the unseal: the fuzzer's bytes are the event text, sealed to the fixed
// identity key inside a well-formed envelope, so every input reaches the JSON parse, the
// signature check and the reading of the event's keys. Seeds are signed events our phone's
// code made (make_corpus.cpp).

#include <nlohmann/json.hpp>

#include "call/event.h"
#include "fuzz_common.h"
#include "vaultra/envelope.h"
#include "wallet/keys.h"

using namespace dialo;

namespace {
std::string gPubHex;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::isolate();
    if (!pubkey_from_priv(fuzz::kIdentityPriv, gPubHex)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(fuzz::text(data, size));
    nlohmann::json envelope = buildEnvelope(1700000000);
    std::string error;
    if (!seal(text, gPubHex, envelope, error)) return 0;
    std::optional<nlohmann::json> event = openPayloadWith(compactText(envelope), fuzz::kIdentityPriv);
    if (!event) return 0;
    (void)verify_protocol_message(*event);
    ReceivedEvent read;
    if (readEvent(*event, read)) (void)verify_protocol_message(read.fields);
    return 0;
}
