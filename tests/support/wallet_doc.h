#pragma once
// The wallet document and index as Vaultra writes them, shared by the unit tests' fixtures and
// the interop helper.

#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

namespace dialo::test {

inline constexpr char kAbandon[] =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";
inline constexpr char kLegal[] = "legal winner thank year wave sausage worth useful legal winner thank yellow";

/// An HD wallet file's document; a `handle` is stored as Vaultra's `handle` command stores it.
inline nlohmann::json walletDoc(const std::string& mnemonic = kAbandon, const std::string& handle = "") {
    nlohmann::json doc = {{"version", 2}, {"mnemonic", mnemonic}, {"recv", {0, 0, 0, 0, 0, 0}}, {"show", 0}};
    if (!handle.empty()) doc["paymail"] = handle;
    return doc;
}

/// Writes the whole file, making its folder; false when it could not.
inline bool writeFile(const std::string& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return out.good();
}

/// Writes a wallet's file into the platform folder `base` ("<root>/Orvane") and lists it in the
/// index; `name` defaults to the id.
inline bool addWalletFiles(const std::string& base, const std::string& id, const nlohmann::json& doc,
                           const std::string& name = "") {
    const std::string indexPath = base + "/wallets.json";
    std::ifstream in(indexPath, std::ios::binary);
    nlohmann::json index = nlohmann::json::parse(in, nullptr, false);
    if (!index.is_object()) index = {{"wallets", nlohmann::json::array()}};
    index["wallets"].push_back({{"id", id}, {"name", name.empty() ? id : name}});
    return writeFile(base + "/wallets/" + id + "/wallet.json", doc.dump(2)) && writeFile(indexPath, index.dump(2));
}

}  // namespace dialo::test
