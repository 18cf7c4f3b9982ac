// The password envelope ("OV-LOCK1") around a wallet file: the recognition the phone does and
// the opening Vaultra does. The key stretch is cut to the smallest count the envelope allows,
// since a valid count only changes how long the PBKDF2 loop runs, not what is parsed.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nlohmann::json doc = nlohmann::json::parse(data, data + size, nullptr, false);
    std::string plain;
    if (!is_locked_envelope(doc)) return 0;
    doc["iter"] = 10000;
    (void)unlock_wallet_text(doc, "fuzz password", plain);
    return 0;
}
