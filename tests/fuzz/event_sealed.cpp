// Each input sealed in a well-formed envelope, so every one reaches the JSON parse and signature check.
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
