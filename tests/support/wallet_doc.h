#pragma once
// The wallet document and index as Vaultra writes them (unit fixtures and the interop helper).
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
inline bool writeFile(const std::string& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return out.good();
}
}  // namespace dialo::test
