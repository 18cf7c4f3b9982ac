#include "service/tx_json.h"

#include <algorithm>

#include "service/script.h"
#include "wallet/encoding.h"
#include "wallet/transaction.h"

namespace dialo::service {

using nlohmann::json;

std::string dumpJson(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json txJson(const Bytes& raw, const std::string& txid, const TxPlace& place, bool withBlock) {
    ParsedTx tx;
    json out = json::object();
    if (!parse_tx(raw, tx)) return out;
    out["txid"] = txid;
    out["hash"] = txid;
    out["version"] = tx.version;
    out["size"] = raw.size();
    out["locktime"] = tx.lockTime;

    json vin = json::array();
    for (const ParsedInput& in : tx.inputs) {
        json i = json::object();
        if (in.prevTxid == std::string(64, '0') && in.vout == 0xFFFFFFFFu) {
            i["coinbase"] = hex_encode(in.script);
        } else {
            i["txid"] = in.prevTxid;
            i["vout"] = in.vout;
            i["scriptSig"] = {{"asm", scriptAsm(in.script)}, {"hex", hex_encode(in.script)}};
        }
        i["sequence"] = in.sequence;
        vin.push_back(std::move(i));
    }
    out["vin"] = std::move(vin);

    json vout = json::array();
    for (size_t n = 0; n < tx.outputs.size(); ++n) {
        const TxOutput& o = tx.outputs[n];
        json spk = json::object();
        spk["asm"] = scriptAsm(o.locking);
        spk["hex"] = hex_encode(o.locking);
        spk["type"] = scriptType(o.locking);
        spk["isTruncated"] = false;
        Hash160 h{};
        if (is_p2pkh_script(o.locking, &h)) {
            spk["reqSigs"] = 1;
            spk["addresses"] = json::array({address_from_hash(h)});
        } else if (isDataScript(o.locking)) {
            json parts = json::array();
            std::vector<Bytes> pushes = dataPushes(o.locking);
            for (const Bytes& p : pushes) parts.push_back(std::string(p.begin(), p.end()));
            json opReturn = {{"type", "unknown"}, {"action", ""}, {"parts", parts}};
            if (pushes.size() == 1) opReturn["text"] = parts[0];
            spk["opReturn"] = std::move(opReturn);
        }
        vout.push_back({{"value", double(o.sats) / 1e8}, {"n", n}, {"scriptPubKey", std::move(spk)}});
    }
    out["vout"] = std::move(vout);

    if (withBlock) {
        if (place.height >= 0) {
            const int64_t time = place.blockTime > 0 ? place.blockTime : place.seen;
            if (!place.blockHash.empty()) out["blockhash"] = place.blockHash;
            out["blockheight"] = place.height;
            out["confirmations"] = std::max<int64_t>(place.tipHeight, place.height) - place.height + 1;
            out["time"] = time;
            out["blocktime"] = time;
        } else {
            out["confirmations"] = 0;
            out["time"] = place.seen;
        }
    }
    return out;
}

}  // namespace dialo::service
