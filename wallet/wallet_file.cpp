#include "wallet/wallet_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "base/json_fields.h"
#include "platform/data_dir.h"
#include "platform/files.h"
#include "wallet/binding.h"
#include "wallet/coins.h"
#include "wallet/contacts.h"
#include "wallet/keys.h"
#include "wallet/mnemonic.h"
#include "wallet/openssl_handles.h"
#include "wallet/wallet_lock.h"

namespace dialo {
namespace {

using nlohmann::json;

// An index from the file as an unsigned 32-bit value: negatives become 0, huge values the top.
uint32_t indexOf(const json& v) {
    double d = v.get<double>();
    return (std::isnan(d) || d <= 0) ? 0 : d >= 4294967295.0 ? UINT32_MAX : uint32_t(d);
}

// Non-numeric entries keep their place but leave the count alone.
void readCounts(const json& doc, std::array<uint32_t, kAccountCount>& counts, bool onlyRaise) {
    auto it = doc.find("recv");
    if (it == doc.end() || !it->is_array()) return;
    for (size_t a = 0; a < kAccountCount && a < it->size(); ++a) {
        const json& v = (*it)[a];
        if (!v.is_number()) continue;
        uint32_t n = indexOf(v);
        counts[a] = onlyRaise ? std::max(counts[a], n) : n;
    }
}

bool fileIsLocked(const json& doc) { return doc.is_object() && string_field(doc, "lock") == "OV-LOCK1"; }

bool loadHd(WalletState& w, const json& doc) {
    WalletKeys& k = w.keys;
    k.hd = true;
    k.mnemonic = doc["mnemonic"].get<std::string>();
    if (!validate_mnemonic(k.mnemonic)) return false;
    w.backup = doc.contains("backup") && doc["backup"].is_boolean() && doc["backup"].get<bool>();
    readCounts(doc, k.counts, false);
    k.receiveIndex = k.counts[kPaymentAccount];
    if (auto it = doc.find("show"); it != doc.end() && it->is_number())
        k.receiveIndex = std::min(indexOf(*it), k.counts[kPaymentAccount]);
    return refresh_wallet_keys(k);
}

bool loadSingleKey(WalletState& w, const json& doc) {
    KeyTriple& d = w.keys.defaultKey;
    d.priv = string_field(doc, "priv");
    d.pub = string_field(doc, "pub");
    d.address = string_field(doc, "address");
    if (d.priv.size() != 64) return false;
    if (d.pub.empty()) d.pub = pubkey_from_priv(d.priv);
    if (d.pub.empty()) return false;
    if (d.address.empty()) d.address = address_from_pubkey(d.pub);
    return !d.address.empty();
}

}  // namespace

std::string wallet_file_path() {
    std::string bound = bound_wallet_file();
    return bound.empty() ? platformDirectory() + "/orvane_vaultra.json" : bound;
}

bool read_wallet_document(const std::string& path, json& doc) {
    std::string text;
    if (!readWholeFile(path, text)) return false;
    ScopedWipe wipe(text);
    doc = json::parse(text, nullptr, false);
    return doc.is_object();
}

bool load_wallet(WalletState& w) {
    if (w.loaded && !w.keys.defaultKey.priv.empty() && !w.keys.defaultKey.address.empty()) return true;
    if (bound_wallet_id().empty()) return false;
    if (vaultra_app_mode() && wallet_is_sealed()) return false;
    json doc;
    if (!read_wallet_document(wallet_file_path(), doc) || fileIsLocked(doc)) return false;

    reset_wallet_state(w);
    bool ok = doc.contains("mnemonic") && doc["mnemonic"].is_string() ? loadHd(w, doc) : loadSingleKey(w, doc);
    if (!ok) {
        reset_wallet_state(w);
        return false;
    }
    w.paymail = string_field(doc, "paymail");
    if (doc.contains("ord_avatar")) w.ordAvatar = doc["ord_avatar"];
    if (doc.contains("ord_owned")) w.ordOwned = doc["ord_owned"];
    w.contacts = contacts_from_document(doc);
    w.loaded = true;
    load_spent_snapshot(w);
    return true;
}

bool save_wallet(WalletState& w) {
    if (bound_wallet_id().empty()) return false;
    const std::string path = wallet_file_path();
    ensureDirectory(path.substr(0, path.rfind('/')));

    json doc;
    if (!read_wallet_document(path, doc)) doc = json::object();
    // Writing now would put the plain phrase back over the file the user just locked.
    if (fileIsLocked(doc) || pathExists(path + ".seal")) return false;

    const WalletKeys& k = w.keys;
    if (k.hd) {
        doc["version"] = 2;
        doc["mnemonic"] = k.mnemonic;
        doc["backup"] = w.backup;
        doc["recv"] = k.counts;
        doc["show"] = k.receiveIndex;
        doc["identity"] = k.identityAddress;
        doc["address"] = k.defaultKey.address;
    } else {
        doc["priv"] = k.defaultKey.priv;
        doc["pub"] = k.defaultKey.pub;
        doc["address"] = k.defaultKey.address;
    }
    if (!w.paymail.empty()) doc["paymail"] = w.paymail;
    if (!w.ordAvatar.is_null()) doc["ord_avatar"] = w.ordAvatar;
    if (!w.ordOwned.is_null()) doc["ord_owned"] = w.ordOwned;
    doc["contacts"] = contacts_document(w.contacts);

    std::string text = json_file_text(doc);
    ScopedWipe wipe(text);
    if (doc.contains("mnemonic") && doc["mnemonic"].is_string()) {
        std::string& m = doc["mnemonic"].get_ref<std::string&>();
        OPENSSL_cleanse(m.data(), m.size());
    }
    return writeFileAtomic(path, text);
}

bool wallet_is_sealed() {
    const std::string path = wallet_file_path();
    if (pathExists(path + ".seal")) return true;
    json doc;
    return read_wallet_document(path, doc) && is_locked_envelope(doc);
}

void reset_wallet_state(WalletState& w) {
    wipe_wallet_keys(w.keys);
    wipe_text(w.paymail);
    w.contacts.clear();
    w.ordAvatar = nullptr;
    w.ordOwned = nullptr;
    w.backup = false;
    w.coins = CoinState{};
    w.loaded = false;
}

void reload_wallet_counts(WalletState& w) {
    if (!w.loaded) return;
    json doc;
    if (!read_wallet_document(wallet_file_path(), doc) || fileIsLocked(doc)) return;
    const uint32_t before = w.keys.counts[kPaymentAccount];
    readCounts(doc, w.keys.counts, true);
    if (std::string p = string_field(doc, "paymail"); !p.empty()) w.paymail = p;
    if (doc.contains("ord_avatar")) w.ordAvatar = doc["ord_avatar"];
    if (w.keys.hd && w.keys.counts[kPaymentAccount] != before) refresh_wallet_keys(w.keys);
}

}  // namespace dialo
