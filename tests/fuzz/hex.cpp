// Hex as the readers take it (strict, lenient, trimmed) and Base58 addresses, with round trips.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::text(data, size);
    const Bytes strict = hex_decode(text);
    if (!strict.empty() && (hex_decode(hex_encode(strict)) != strict || strict.size() * 2 != size)) std::abort();
    Bytes lenient, trimmed, b58, again;
    if (parse_hex_bytes(text, lenient) && lenient.size() * 2 > size) std::abort();
    (void)parse_hex_trimmed(text, trimmed);
    (void)is_hex64(text);
    // Base58 decodes only addresses (35 characters at most); its quadratic decode of long text would slow the fuzzer.
    if (size <= 128 && base58_decode(text, b58) && !b58.empty() &&
        (!base58_decode(base58_encode(b58.data(), b58.size()), again) || again != b58))
        std::abort();
    Hash160 h{};
    if (decode_p2pkh_address(text, h) && address_from_hash(h) != text) std::abort();
    return 0;
}
