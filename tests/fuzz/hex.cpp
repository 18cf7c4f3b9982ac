// Hex as the readers take it (strict, lenient, trimmed) and Base58 addresses, with round trips.

#include <cstdlib>
#include <string>

#include "base/bytes.h"
#include "fuzz_common.h"
#include "vaultra/ecies.h"
#include "vaultra/identity.h"
#include "wallet/encoding.h"

using namespace dialo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::text(data, size);
    const Bytes strict = hex_decode(text);
    if (!strict.empty() && hex_decode(hex_encode(strict)) != strict) std::abort();
    if (!strict.empty() && strict.size() * 2 != size) std::abort();
    Bytes lenient, trimmed;
    if (parse_hex_bytes(text, lenient) && lenient.size() * 2 > size) std::abort();
    (void)parse_hex_trimmed(text, trimmed);
    (void)is_hex64(text);

    // Base58 is only ever decoded for addresses (35 characters at most); its quadratic
    // decode of a long text would only slow the fuzzer.
    Bytes b58;
    if (size <= 128 && base58_decode(text, b58) && !b58.empty()) {
        Bytes again;
        if (!base58_decode(base58_encode(b58.data(), b58.size()), again) || again != b58) std::abort();
    }
    Hash160 h{};
    if (decode_p2pkh_address(text, h) && address_from_hash(h) != text) std::abort();
    return 0;
}
