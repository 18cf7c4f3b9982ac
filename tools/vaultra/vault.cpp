#include "tools/vaultra/vault.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "base/json_fields.h"
#include "base/text.h"
#include "platform/files.h"
#include "vaultra/connect.h"
#include "wallet/binding.h"
#include "wallet/keys.h"
#include "wallet/mnemonic.h"
#include "wallet/openssl_handles.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_lock.h"

namespace dialo::vaultra_tool {
namespace {

using nlohmann::json;

KeyTriple deriveFrom(const std::string& mnemonic, uint32_t account, uint32_t index) {
    WalletKeys keys;
    keys.hd = true;
    keys.mnemonic = mnemonic;
    KeyTriple t;
    bool ok = derive_key(keys, wallet_path(account, index), t);
    wipe_wallet_keys(keys);
    if (!ok) throw VaultError{"could not derive the wallet's keys"};
    return t;
}

}  // namespace

std::vector<WalletEntry> list_wallets() {
    json index = load_wallet_index();
    std::string active = string_field(index, "active");
    std::vector<WalletEntry> out;
    for (const json& w : index["wallets"]) {
        // An id becomes a folder name: one that could leave the wallets folder is not a wallet.
        if (!w.is_object() || !is_plain_wallet_id(string_field(w, "id"))) continue;
        out.push_back({string_field(w, "id"), string_field(w, "name"), string_field(w, "id") == active});
    }
    return out;
}

std::string wallet_file_of(const std::string& id) { return wallet_dir_path(id) + "/wallet.json"; }

std::string add_wallet(const std::string& mnemonic, const std::string& name, const std::string& handle) {
    if (!validate_mnemonic(mnemonic)) throw VaultError{"that recovery phrase is not 12 valid words"};
    const KeyTriple receive = deriveFrom(mnemonic, kPaymentAccount, 0);
    const KeyTriple identity = deriveFrom(mnemonic, kIdentityAccount, 0);

    WalletsLock lock;
    json index = load_wallet_index();
    const std::string id = new_wallet_id();
    json doc = {{"version", 2},         {"mnemonic", mnemonic}, {"backup", false},
                {"recv", json::array({0, 0, 0, 0, 0, 0})},      {"show", 0},
                {"identity", identity.address},                 {"address", receive.address},
                {"contacts", json::array()}};
    if (!handle.empty()) doc["paymail"] = handle;
    ensureDirectory(vaultra_base_dir() + "/wallets");
    ensureDirectory(wallet_dir_path(id));
    std::string text = json_file_text(doc);
    bool written = writeFileAtomic(wallet_file_of(id), text);
    wipe_text(text);
    wipe_text(doc["mnemonic"].get_ref<std::string&>());
    if (!written) throw VaultError{"could not write the wallet file"};

    std::string shown = !name.empty() ? name : !handle.empty() ? handle : "Wallet " + std::to_string(index["wallets"].size() + 1);
    index["wallets"].push_back({{"id", id}, {"name", shown}});
    if (string_field(index, "active").empty()) index["active"] = id;
    if (!save_wallet_index(index)) throw VaultError{"could not write the wallet index"};
    return id;
}

std::string choose_wallet(const std::string& id) {
    std::vector<WalletEntry> all = list_wallets();
    if (!id.empty()) {
        if (std::none_of(all.begin(), all.end(), [&id](const WalletEntry& w) { return w.id == id; }))
            throw VaultError{"no wallet with id " + id};
        return id;
    }
    if (all.empty()) throw VaultError{"no wallets yet: run vaultra create"};
    for (const WalletEntry& w : all)
        if (w.active) return w.id;
    if (all.size() == 1) return all[0].id;
    throw VaultError{"several wallets: name one with --wallet ID"};
}

json read_stored_wallet(const std::string& id) {
    choose_wallet(id);
    json doc;
    if (!read_wallet_document(wallet_file_of(id), doc)) throw VaultError{"the file of wallet " + id + " cannot be read"};
    return doc;
}

json read_plain_wallet(const std::string& id) {
    json doc = read_stored_wallet(id);
    if (doc.contains("lock") || pathExists(wallet_file_of(id) + ".seal"))
        throw VaultError{"wallet " + id + " is locked: run vaultra unlock " + id};
    return doc;
}

void write_wallet(const std::string& id, const json& doc) {
    std::string text = json_file_text(doc);
    bool ok = writeFileAtomic(wallet_file_of(id), text);
    wipe_text(text);
    if (!ok) throw VaultError{"could not write the wallet file"};
}

void identity_of(const json& doc, std::string& priv, std::string& pub, std::string& address) {
    std::string mnemonic = string_field(doc, "mnemonic");
    if (mnemonic.empty()) throw VaultError{"this wallet has no recovery phrase, so no identity key"};
    KeyTriple t = deriveFrom(mnemonic, kIdentityAccount, 0);
    wipe_text(mnemonic);
    priv = t.priv;
    pub = t.pub;
    address = t.address;
    wipe_text(t.priv);
}

std::string receive_address_of(const json& doc) {
    std::string mnemonic = string_field(doc, "mnemonic");
    if (mnemonic.empty()) return string_field(doc, "address");
    uint32_t show = 0;
    if (doc.contains("show") && doc["show"].is_number_unsigned()) show = doc["show"].get<uint32_t>();
    KeyTriple t = deriveFrom(mnemonic, kPaymentAccount, show);
    wipe_text(mnemonic);
    wipe_text(t.priv);
    return t.address;
}

std::vector<ConnectRequest> pending_requests() {
    std::vector<ConnectRequest> out;
    const std::string dir = connect_dir_path();
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) return out;
    const std::string suffix = ".req.json";
    while (dirent* e = ::readdir(d.get())) {
        std::string name = e->d_name;
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::string id = name.substr(0, name.size() - suffix.size());
        if (pathExists(dir + "/" + id + ".rep.json")) continue;
        std::string text;
        if (!readWholeFile(dir + "/" + name, text)) continue;
        json doc = json::parse(text, nullptr, false);
        if (!doc.is_object()) continue;
        ConnectRequest r{id, string_field(doc, "app"), string_field(doc, "instance"), 0};
        if (doc.contains("ts") && doc["ts"].is_number_integer()) r.ts = doc["ts"].get<int64_t>();
        out.push_back(std::move(r));
    }
    // Ids are "w" and milliseconds: longer is later, then by text.
    std::sort(out.begin(), out.end(), [](const ConnectRequest& a, const ConnectRequest& b) {
        return a.id.size() != b.id.size() ? a.id.size() < b.id.size() : a.id < b.id;
    });
    return out;
}

void answer_request(const std::string& requestId, bool approve, const std::string& walletId) {
    json reply = {{"ok", approve}};
    if (approve) reply["wallet_id"] = walletId;
    if (!writeFileAtomic(connect_dir_path() + "/" + requestId + ".rep.json", json_file_text(reply)))
        throw VaultError{"could not write the reply"};
}

}  // namespace dialo::vaultra_tool
