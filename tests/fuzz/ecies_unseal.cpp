// ECIES ("BIE1") blobs opened with the fixed identity key: the bytes as the blob, and the
// bytes as the lenient hex text the blob arrives in.

#include <cstdlib>
#include <string>

#include "base/bytes.h"
#include "fuzz_common.h"
#include "vaultra/ecies.h"

using namespace dialo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string plain;
    if (ecies_unseal(hex_encode(data, size), fuzz::kIdentityPriv, "", plain) && plain.size() >= size) std::abort();
    (void)ecies_unseal(fuzz::text(data, size), fuzz::kIdentityPriv, "", plain);
    // The key agreement with another ephemeral key: the blob's first 33 bytes after the magic.
    if (size >= 37) (void)ecies_unseal(hex_encode(data, size), fuzz::kIdentityPriv, hex_encode(data + 4, 33), plain);
    return 0;
}
