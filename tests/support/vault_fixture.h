#pragma once
// A fresh platform folder per test, and wallets written into it the way Vaultra writes them.
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <nlohmann/json.hpp>
#include "support/temp_folder.h"
#include "support/wallet_doc.h"
#include "app/startup.h"
#include "base/clock.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace dialo::test {
/// The platform folder Vaultra and the phone share, and its files.
class WalletFolder {
protected:
    std::string base() const { return root_ + "/Orvane"; }
    std::string walletFile(const std::string& id) const { return base() + "/wallets/" + id + "/wallet.json"; }
    static void writeText(const std::string& path, const std::string& text) { ASSERT_TRUE(writeFile(path, text)) << path; }
    static std::string readText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    /// A JSON file's document; discarded when missing or unreadable.
    static nlohmann::json readJson(const std::string& path) { return nlohmann::json::parse(readText(path), nullptr, false); }
    static bool exists(const std::string& path) { return std::filesystem::exists(path); }
    static nlohmann::json hdWallet(const std::string& mnemonic = kAbandon, const std::string& handle = "") {
        return walletDoc(mnemonic, handle);
    }
    /// A wallet file with the given document, listed in the index under `name` (the id if none).
    void addWallet(const std::string& id, const nlohmann::json& doc, const std::string& name = "") {
        nlohmann::json index = readJson(base() + "/wallets.json");
        if (!index.is_object()) index = {{"wallets", nlohmann::json::array()}};
        index["wallets"].push_back({{"id", id}, {"name", name.empty() ? id : name}});
        writeText(walletFile(id), doc.dump(2));
        writeText(base() + "/wallets.json", index.dump(2));
    }
private:
    TempFolder folder_{"vault"};
    const std::string root_ = folder_.path;
};
class VaultTest : public ::testing::Test, public WalletFolder {
protected:
    void SetUp() override { resetCoreState(); }
    void TearDown() override {
        reset_wallet_state(lockWallet().state);
        resetClockSource();
    }
};
}  // namespace dialo::test
