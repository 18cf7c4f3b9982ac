#pragma once
// BSV transactions as the wallet builds them: serialisation and the size-estimate form, the
// OP_FALSE OP_RETURN data output, fee and input selection with change, the fork-id
// signature hash (ALL|FORKID) and P2PKH unlocking scripts. Builders and the signer keep no
// state; their callers hold the wallet state lock.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wallet/coin.h"

namespace dialo {

constexpr uint8_t kSighashAllForkId = 0x41;
constexpr int64_t kPaymentRate = 100;  // satoshis per 1000 bytes for general payments

/// Appends one push of data: 1-byte length below 76, then 4C, 4D or 4E forms.
void append_push(Bytes& script, const uint8_t* data, size_t size);

/// 00 6A and the whole payload as one push.
Bytes data_output_script(std::string_view payload);

/// The transaction bytes; with `estimate` every unlocking script is 6B and 107 zero bytes.
/// Empty when an input's txid does not decode to 32 bytes.
Bytes serialize_tx(const std::vector<Coin>& inputs, const std::vector<TxOutput>& outputs, bool estimate);

/// ceil(rate × size / 1000); a rate below 1 counts as 1, a size below 1 costs 1.
int64_t fee_for_size(int64_t size, int64_t rate);

/// Pays `amount` to a Hash160 (and a data output when `data` is not empty) at 100 sat/kB.
/// On return `coins` holds the selected inputs in selection order.
[[nodiscard]] bool build_payment_tx(std::vector<Coin>& coins, const Hash160& destination, const Hash160& change,
                                    int64_t amount, std::string_view data, std::vector<TxOutput>& outputs,
                                    int64_t& fee, std::string& error);

/// Pays the requested outputs at `rate` sat/kB, the first `forced` coins always included.
[[nodiscard]] bool build_tx(std::vector<Coin>& coins, std::vector<TxOutput>& outputs, const Hash160& change,
                            const std::vector<TxOutput>& requested, int64_t& fee, std::string& error, size_t forced,
                            int64_t rate);

/// BIP-143 digest with the fork id for input `index`, over the given script code. False when
/// the index is out of range, an outpoint's txid is not 32 bytes, or the digest fails.
[[nodiscard]] bool signature_hash(const std::vector<Coin>& inputs, size_t index, const std::vector<TxOutput>& outputs,
                                  const Bytes& scriptCode, Hash256& digest);

/// Signs the input spending `coin` (matched by outpoint among `inputs`) and sets its
/// unlocking script: push(DER ‖ 41) push(compressed key). False with the reason otherwise.
[[nodiscard]] bool sign_input(Coin& coin, const std::vector<Coin>& inputs, const std::vector<TxOutput>& outputs,
                              const Hash160& scriptHash, std::string_view privHex, std::string_view pubHex,
                              std::string& error);

/// Double SHA-256 of the bytes, reversed, as lower-case hex; empty when the digest fails.
std::string txid_of(const Bytes& raw);

/// A transaction read back from its bytes.
struct ParsedInput {
    std::string prevTxid;  // display order
    uint32_t vout = 0;
    Bytes script;
    uint32_t sequence = 0;
};
struct ParsedTx {
    uint32_t version = 0;
    std::vector<ParsedInput> inputs;
    std::vector<TxOutput> outputs;
    uint32_t lockTime = 0;
};

/// Parses raw transaction bytes; false when they are not exactly one whole transaction.
[[nodiscard]] bool parse_tx(const Bytes& raw, ParsedTx& out);

/// Reads bytes from elsewhere that may hold a transaction cut short: `out` keeps the parts that
/// are whole, up to the first that runs past the end; a count above `countCap` stops the read
/// before its items. True when the transaction was whole (bytes after it are not looked at).
bool read_tx_prefix(const Bytes& raw, uint64_t countCap, ParsedTx& out);

}  // namespace dialo
