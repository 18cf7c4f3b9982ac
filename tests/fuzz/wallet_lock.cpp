// The stretch count is the smallest allowed: a valid count changes only how long PBKDF2 runs.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nlohmann::json doc = nlohmann::json::parse(data, data + size, nullptr, false);
    std::string plain;
    if (!is_locked_envelope(doc)) return 0;
    doc["iter"] = 10000;
    (void)unlock_wallet_text(doc, "fuzz password", plain);
    return 0;
}
