#include "wallet/contacts.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "base/json_fields.h"
#include "base/text.h"
#include "wallet/client_sinks.h"
#include "wallet/destination.h"
#include "wallet/wallet_file.h"

namespace dialo {
namespace {

constexpr size_t kNoteBytes = 80;
constexpr char kNoWallet[] = "error: no Vaultra wallet. Create first.";

std::string fail(const std::string& status) {
    report_error(status);
    return status;
}

std::string trimmedNote(std::string_view s) { return std::string(trimBlanks(s).substr(0, kNoteBytes)); }

// Saves the changed list, or puts the old one back so that a failure changes nothing.
std::string saveOrRestore(WalletState& w, std::vector<Contact> before) REQUIRES(walletMutex()) {
    if (save_wallet(w)) return "success";
    w.contacts = std::move(before);
    return fail("error: could not save the wallet file.");
}

}  // namespace

std::vector<Contact> contacts_from_document(const nlohmann::json& doc) {
    std::vector<Contact> out;
    auto it = doc.find("contacts");
    if (it == doc.end() || !it->is_array()) return out;
    for (const nlohmann::json& e : *it) {
        if (!e.is_object()) continue;
        Contact c{normalize_destination(string_field(e, "dest")), trimmedNote(string_field(e, "note"))};
        if (c.dest.empty()) continue;
        auto same = [&c](const Contact& o) { return o.dest == c.dest; };
        if (auto dup = std::find_if(out.begin(), out.end(), same); dup != out.end())
            dup->note = c.note;
        else
            out.push_back(std::move(c));
    }
    return out;
}

nlohmann::json contacts_document(const std::vector<Contact>& contacts) {
    nlohmann::json list = nlohmann::json::array();
    for (const Contact& c : contacts) {
        nlohmann::json e = {{"dest", c.dest}};
        if (!c.note.empty()) e["note"] = c.note;
        list.push_back(std::move(e));
    }
    return list;
}

std::vector<Contact> contacts_list() {
    auto g = lockWallet();
    if (!load_wallet(g.state)) return {};
    return g.state.contacts;
}

std::string contact_add(std::string_view dest, std::string_view note) {
    auto g = lockWallet();
    if (!load_wallet(g.state)) return fail(kNoWallet);
    std::string d = normalize_destination(dest);
    if (d.empty()) return fail("error: enter a handle, paymail, or 1-address.");
    std::vector<Contact> before = g.state.contacts;
    auto& list = g.state.contacts;
    auto it = std::find_if(list.begin(), list.end(), [&d](const Contact& c) { return c.dest == d; });
    if (it != list.end())
        it->note = trimmedNote(note);
    else
        list.push_back({d, trimmedNote(note)});
    return saveOrRestore(g.state, std::move(before));
}

std::string contact_remove(std::string_view dest) {
    auto g = lockWallet();
    if (!load_wallet(g.state)) return fail(kNoWallet);
    std::string d = normalize_destination(dest);
    auto& list = g.state.contacts;
    auto same = [&d](const Contact& c) { return c.dest == d; };
    if (d.empty() || std::none_of(list.begin(), list.end(), same))
        return fail("error: that contact is not in the list.");
    std::vector<Contact> before = list;
    list.erase(std::remove_if(list.begin(), list.end(), same), list.end());
    return saveOrRestore(g.state, std::move(before));
}

}  // namespace dialo
