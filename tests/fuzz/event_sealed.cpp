// The layers behind the unseal: the input is the event text, sealed to the fixed identity key in
// a well-formed envelope, so every input reaches the JSON parse, the signature check and the
// reading of the event's keys. Seeds are signed events our phone's code made.
#include "fuzz_common.h"

static std::string gPubHex;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::isolate();
    if (!pubkey_from_priv(fuzz::kIdentityPriv, gPubHex)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nlohmann::json envelope = buildEnvelope(1700000000);
    std::string error;
    if (seal(fuzz::text(data, size), gPubHex, envelope, error))
        fuzz::readOpened(openPayloadWith(compactText(envelope), fuzz::kIdentityPriv));
    return 0;
}
