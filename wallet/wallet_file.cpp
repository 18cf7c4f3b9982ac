#include "wallet/wallet_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

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

// Vaultra never uses more addresses than this per account; a larger count in the file would
// make every look-up of own addresses derive keys for minutes.
constexpr uint32_t kMaxAccountCount = 100000;
constexpr size_t kMaxWalletFileBytes = 16 << 20;

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
        uint32_t n = std::min(indexOf(v), kMaxAccountCount);
        counts[a] = onlyRaise ? std::max(counts[a], n) : n;
    }
}

// Overwrites every string of a parsed wallet document (the phrase, "priv", and the rest).
void wipeJson(json& j) {
    if (j.is_string()) {
        std::string& s = j.get_ref<std::string&>();
        OPENSSL_cleanse(s.data(), s.size());
    } else if (j.is_structured()) {
        for (json& e : j) wipeJson(e);
    }
}

class ScopedJsonWipe {
public:
    explicit ScopedJsonWipe(json& j) : j_(j) {}
    ~ScopedJsonWipe() { wipeJson(j_); }
    ScopedJsonWipe(const ScopedJsonWipe&) = delete;
    ScopedJsonWipe& operator=(const ScopedJsonWipe&) = delete;

private:
    json& j_;
};

// Reads a whole file into a buffer sized once, so no grown-out copy of a secret is left in
// freed memory.
bool readSecretFile(const std::string& path, std::string& out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0 && st.st_size >= 0 && size_t(st.st_size) <= kMaxWalletFileBytes;
    if (ok) {
        out.resize(size_t(st.st_size));
        size_t got = 0;
        while (got < out.size()) {
            ssize_t n = ::read(fd, out.data() + got, out.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        out.resize(got);  // a file cut short meanwhile: shrinking never moves the text
    }
    ::close(fd);
    if (!ok) wipe_text(out);
    return ok;
}

// The serialiser's output, grown by hand so that every outgrown buffer is wiped.
class WipingSink : public nlohmann::detail::output_adapter_protocol<char> {
public:
    explicit WipingSink(std::string& out) : out_(out) {}
    void write_character(char c) override { write_characters(&c, 1); }
    void write_characters(const char* s, std::size_t length) override {
        if (out_.size() + length > out_.capacity()) {
            std::string bigger;
            bigger.reserve(std::max(out_.capacity() * 2, out_.size() + length + 1024));
            bigger.append(out_);
            OPENSSL_cleanse(out_.data(), out_.size());
            out_.swap(bigger);
        }
        out_.append(s, length);
    }

private:
    std::string& out_;
};

// The file text of a wallet document, as json_file_text writes it, without stray copies.
std::string walletText(const json& doc) {
    std::string out;
    out.reserve(4096);
    nlohmann::detail::serializer<json> writer(std::make_shared<WipingSink>(out), ' ',
                                              json::error_handler_t::replace);
    writer.dump(doc, true, false, 2);
    WipingSink(out).write_character('\n');
    return out;
}

bool fileIsLocked(const json& doc) { return doc.is_object() && string_field(doc, "lock") == "OV-LOCK1"; }

bool loadHd(WalletState& w, const json& doc) REQUIRES(walletMutex()) {
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
    if (d.pub.empty() && !pubkey_from_priv(d.priv, d.pub)) return false;
    if (d.address.empty()) d.address = address_from_pubkey(d.pub);
    return !d.address.empty();
}

// The text at `key`, read in place so that a secret is not copied; null when absent.
const std::string* textAt(const json& doc, const char* key) {
    auto it = doc.find(key);
    return it != doc.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

// Whether the file now holds another wallet's phrase or key than the one loaded from it.
bool holdsOtherWallet(const WalletKeys& k, const json& doc) {
    const std::string* phrase = textAt(doc, "mnemonic");
    const std::string* priv = textAt(doc, "priv");
    if (k.hd) return phrase ? *phrase != k.mnemonic : priv != nullptr;
    return phrase != nullptr || (priv && *priv != k.defaultKey.priv);
}

const Contact* findContact(const std::vector<Contact>& list, const std::string& dest) {
    auto it = std::find_if(list.begin(), list.end(), [&dest](const Contact& c) { return c.dest == dest; });
    return it == list.end() ? nullptr : &*it;
}

// Three-way merge against the list the file held at load: what either side added stays,
// what either side removed goes, and a note the phone did not change takes the file's.
std::vector<Contact> mergeContacts(const std::vector<Contact>& base, const std::vector<Contact>& mine,
                                   const std::vector<Contact>& disk) {
    std::vector<Contact> out;
    for (const Contact& c : mine) {
        const Contact* was = findContact(base, c.dest);
        const Contact* now = findContact(disk, c.dest);
        if (was && !now) continue;
        out.push_back(was && now && was->note == c.note ? *now : c);
    }
    for (const Contact& c : disk)
        if (!findContact(base, c.dest) && !findContact(mine, c.dest)) out.push_back(c);
    return out;
}

// The file's ordinals as text; the re-read after a load takes the avatar only.
void takeOrdinals(WalletState& w, const json& doc, bool owned) {
    auto text = [](const json& v) { return v.dump(-1, ' ', false, json::error_handler_t::replace); };
    if (auto it = doc.find("ord_avatar"); it != doc.end()) w.ordAvatar = text(*it);
    if (auto it = doc.find("ord_owned"); owned && it != doc.end()) w.ordOwned = text(*it);
}

}  // namespace

std::string wallet_file_path() {
    std::string bound = bound_wallet_file();
    return bound.empty() ? platformDirectory() + "/orvane_vaultra.json" : bound;
}

void wipe_wallet_document(json& doc) { wipeJson(doc); }

bool read_wallet_document(const std::string& path, json& doc) {
    std::string text;
    ScopedWipe wipe(text);
    if (!readSecretFile(path, text)) return false;
    // Deeper than any wallet: the wipe, the copies and the write-back walk it by recursion.
    if (!json_depth_within(text)) {
        doc = json();
        return false;
    }
    doc = json::parse(text, nullptr, false);
    if (doc.is_object()) return true;
    doc = json();
    return false;
}

bool load_wallet(WalletState& w) {
    if (w.loaded && !w.keys.defaultKey.address.empty()) return true;
    if (bound_wallet_id().empty()) return false;
    if (vaultra_app_mode() && wallet_is_sealed()) return false;
    const std::string path = wallet_file_path();
    json doc;
    ScopedJsonWipe wipeDoc(doc);
    if (!read_wallet_document(path, doc) || fileIsLocked(doc)) return false;

    reset_wallet_state(w);
    bool ok = doc.contains("mnemonic") && doc["mnemonic"].is_string() ? loadHd(w, doc) : loadSingleKey(w, doc);
    if (!ok) {
        reset_wallet_state(w);
        return false;
    }
    w.paymail = string_field(doc, "paymail");
    takeOrdinals(w, doc, true);
    w.contacts = contacts_from_document(doc);
    w.file = LoadedFile{path, w.contacts, w.paymail, w.backup};
    w.loaded = true;
    // A phone killed mid-write leaves temporary copies (of the phrase, too) beside the files.
    removeDeadTempFiles(path.substr(0, path.rfind('/')));
    remove_dead_snapshot_temps();
    load_spent_snapshot(w);
    settle_pending_broadcast(w);
    return true;
}

bool save_wallet(WalletState& w) {
    // The file the wallet came from, whatever is bound now.
    if (!w.loaded || w.file.path.empty()) return false;
    const std::string path = w.file.path;
    ensureDirectory(path.substr(0, path.rfind('/')));

    json doc;
    ScopedJsonWipe wipeDoc(doc);
    const bool onDisk = read_wallet_document(path, doc);
    if (!onDisk) doc = json::object();
    // Writing now would put the plain phrase back over the file the user just locked.
    if (fileIsLocked(doc) || pathExists(path + ".seal")) return false;
    if (holdsOtherWallet(w.keys, doc)) return false;

    // What Vaultra wrote since the load is kept; what the phone changed wins over the rest.
    WalletKeys& k = w.keys;
    if (onDisk) {
        std::array<uint32_t, kAccountCount> counts = k.counts;
        readCounts(doc, counts, true);
        if (counts != k.counts) {
            k.counts = counts;
            if (k.hd) refresh_wallet_keys(k);
        }
        w.contacts = mergeContacts(w.file.contacts, w.contacts, contacts_from_document(doc));
        if (w.paymail == w.file.paymail) w.paymail = string_field(doc, "paymail");
        auto backup = doc.find("backup");
        if (w.backup == w.file.backup && backup != doc.end() && backup->is_boolean()) w.backup = backup->get<bool>();
        takeOrdinals(w, doc, true);
    }

    if (k.hd) {
        doc["version"] = 2;
        doc["mnemonic"] = k.mnemonic;
        doc["backup"] = w.backup;
        doc["recv"] = k.counts;
        // The shown address is Vaultra's to move; the phone never changes it.
        if (!doc.contains("show") || !doc["show"].is_number()) {
            doc["show"] = k.receiveIndex;
            doc["address"] = k.defaultKey.address;
        }
        doc["identity"] = k.identityAddress;
    } else {
        doc["priv"] = k.defaultKey.priv;
        doc["pub"] = k.defaultKey.pub;
        doc["address"] = k.defaultKey.address;
    }
    if (!w.paymail.empty()) doc["paymail"] = w.paymail;
    else doc.erase("paymail");
    if (!w.ordAvatar.empty()) doc["ord_avatar"] = json::parse(w.ordAvatar, nullptr, false);
    if (!w.ordOwned.empty()) doc["ord_owned"] = json::parse(w.ordOwned, nullptr, false);
    doc["contacts"] = contacts_document(w.contacts);

    std::string text = walletText(doc);
    ScopedWipe wipe(text);
    if (!writeFileAtomic(path, text)) return false;
    w.file.contacts = w.contacts;
    w.file.paymail = w.paymail;
    w.file.backup = w.backup;
    return true;
}

std::string wallet_avatar_text(const WalletState& w) {
    if (w.ordAvatar.empty()) return {};
    const json avatar = json::parse(w.ordAvatar, nullptr, false);
    if (avatar.is_string()) return avatar.get<std::string>();
    return string_field(avatar, "icon");
}

bool wallet_is_sealed() {
    const std::string path = wallet_file_path();
    if (pathExists(path + ".seal")) return true;
    json doc;
    ScopedJsonWipe wipeDoc(doc);
    return read_wallet_document(path, doc) && is_locked_envelope(doc);
}

void reset_wallet_state(WalletState& w) {
    wipe_wallet_keys(w.keys);
    wipe_text(w.paymail);
    w.contacts.clear();
    w.ordAvatar.clear();
    w.ordOwned.clear();
    w.backup = false;
    w.file = LoadedFile{};
    w.coins = CoinState{};
    w.loaded = false;
}

void reload_wallet_counts(WalletState& w) {
    if (!w.loaded || w.file.path.empty()) return;
    json doc;
    ScopedJsonWipe wipeDoc(doc);
    if (!read_wallet_document(w.file.path, doc) || fileIsLocked(doc)) return;
    const std::array<uint32_t, kAccountCount> before = w.keys.counts;
    readCounts(doc, w.keys.counts, true);
    if (std::string p = string_field(doc, "paymail"); !p.empty()) w.paymail = w.file.paymail = p;
    takeOrdinals(w, doc, false);
    if (w.keys.hd && w.keys.counts != before) refresh_wallet_keys(w.keys);
}

}  // namespace dialo
