// Raw transaction bytes through the wallet's parsers and the poller's hex reader.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes raw(data, data + size);
    ParsedTx tx, read;
    if (parse_tx(raw, tx)) {
        // A whole transaction has room for every part it claims.
        size_t least = 10;
        for (const ParsedInput& in : tx.inputs) least += 41 + in.script.size();
        for (const TxOutput& out : tx.outputs) least += 9 + out.locking.size();
        if (least > size) std::abort();
        for (const TxOutput& out : tx.outputs) (void)payloadFromScript(out.locking);
        // The reader of bytes that may be cut reads a whole transaction as this one does.
        if (!read_tx_prefix(raw, size, read) || read.outputs.size() != tx.outputs.size()) std::abort();
    }
    if (payloadFromRawHex(hex_encode(raw)).size() > size) std::abort();
    (void)payloadFromScript(raw);
    return 0;
}
