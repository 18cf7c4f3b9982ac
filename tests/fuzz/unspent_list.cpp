// WhatsOnChain's unspent lists as the wallet reads them: never a coin without a txid.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Coin> coins;
    std::string error;
    if (read_unspent_list(fuzz::text(data, size), coins, error))
        for (const Coin& c : coins)
            if (!is_hex64(c.txid)) std::abort();
    return 0;
}
