// WhatsOnChain's unspent lists ("/unspent", "/unspent/all", "/unconfirmed/unspent") as the
// wallet reads them.

#include <cstdlib>

#include "base/bytes.h"
#include "fuzz_common.h"
#include "wallet/coins.h"

using namespace dialo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(fuzz::text(data, size));
    std::vector<Coin> coins;
    std::string error;
    if (!read_unspent_list(body, coins, error)) return 0;
    for (const Coin& c : coins)
        if (!is_hex64(c.txid)) std::abort();  // the list never hands on a coin without a txid
    return 0;
}
