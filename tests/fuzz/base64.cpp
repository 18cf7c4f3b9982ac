// Base64 round trips both ways (voice in events and in the store).
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes decoded = base64Decode(fuzz::text(data, size)), raw(data, data + size);
    if (!decoded.empty() && base64Decode(base64Encode(decoded)) != decoded) std::abort();
    if (base64Decode(base64Encode(raw)) != raw) std::abort();
    return 0;
}
