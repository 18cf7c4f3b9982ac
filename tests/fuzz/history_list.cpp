// WhatsOnChain's address histories and the inputs of a pending transaction's JSON, as the
// wallet's address scan reads them.

#include <string>
#include <vector>

#include "fuzz_common.h"
#include "wallet/coins.h"

using namespace dialo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(fuzz::text(data, size));
    std::vector<std::string> txids, spends;
    (void)read_history_entries(body, txids);
    (void)read_tx_spends(body, spends);
    return 0;
}
