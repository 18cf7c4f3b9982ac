// WhatsOnChain's address histories and a pending transaction's inputs, as the address scan reads them.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> txids, spends;
    (void)read_history_entries(fuzz::text(data, size), txids);
    (void)read_tx_spends(fuzz::text(data, size), spends);
    return 0;
}
