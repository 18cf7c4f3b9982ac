// ECIES blobs opened with the fixed key: as bytes, as lenient hex, and with their own bytes as an ephemeral key.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string plain;
    if (ecies_unseal(hex_encode(data, size), fuzz::kIdentityPriv, "", plain) && plain.size() >= size) std::abort();
    (void)ecies_unseal(fuzz::text(data, size), fuzz::kIdentityPriv, "", plain);
    if (size >= 37) (void)ecies_unseal(hex_encode(data, size), fuzz::kIdentityPriv, hex_encode(data + 4, 33), plain);
    return 0;
}
