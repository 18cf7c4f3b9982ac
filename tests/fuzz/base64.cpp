// Base64 decoding (voice in events and in the store), checked both ways: what decodes encodes
// back to the same bytes, and any bytes survive an encode and decode.

#include <cstdlib>
#include <string>

#include "base/base64.h"
#include "fuzz_common.h"

using namespace dialo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::text(data, size);
    const Bytes decoded = base64Decode(text);
    if (!decoded.empty() && base64Decode(base64Encode(decoded)) != decoded) std::abort();
    const Bytes raw(data, data + size);
    if (base64Decode(base64Encode(raw)) != raw) std::abort();
    return 0;
}
