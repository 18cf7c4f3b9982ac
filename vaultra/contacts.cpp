#include "vaultra/contacts.h"

#include <algorithm>
#include <cctype>

#include "vaultra/destination.h"
#include "wallet/client_sinks.h"
#include "wallet/wallet_file.h"

namespace dialo {
namespace {

constexpr size_t kNoteBytes = 80;
constexpr char kNoWallet[] = "error: no Vaultra wallet. Create first.";

std::string fail(const std::string& status) {
    report_error(status);
    return status;
}

std::string trimmedNote(std::string_view s) {
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return std::string(s.substr(0, kNoteBytes));
}

// Saves the changed list, or puts the old one back so that a failure changes nothing.
std::string saveOrRestore(WalletState& w, std::vector<Contact> before) {
    if (save_wallet(w)) return "success";
    w.contacts = std::move(before);
    return fail("error: could not save the wallet file.");
}

}  // namespace

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
