#pragma once
// A fresh platform folder per test, and wallets written into it the way Vaultra writes them.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "support/temp_folder.h"
#include "app/startup.h"
#include "base/clock.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace dialo::test {

inline constexpr char kAbandon[] =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";
inline constexpr char kLegal[] = "legal winner thank year wave sausage worth useful legal winner thank yellow";

/// The platform folder Vaultra and the phone share, and its files.
class WalletFolder {
protected:
    std::string base() const { return root_ + "/Orvane"; }
    std::string walletFile(const std::string& id) const { return base() + "/wallets/" + id + "/wallet.json"; }

    static void writeText(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good()) << path;
    }

    static std::string readText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    /// A JSON file's document; discarded when missing or unreadable.
    static nlohmann::json readJson(const std::string& path) {
        return nlohmann::json::parse(readText(path), nullptr, false);
    }

    static bool exists(const std::string& path) { return std::filesystem::exists(path); }

    /// A wallet file with the given document, listed in the index.
    void addWallet(const std::string& id, const nlohmann::json& doc, const std::string& name = "") {
        writeText(walletFile(id), doc.dump(2));
        nlohmann::json index = exists(base() + "/wallets.json") ? readJson(base() + "/wallets.json")
                                                                : nlohmann::json{{"wallets", nlohmann::json::array()}};
        index["wallets"].push_back({{"id", id}, {"name", name.empty() ? id : name}});
        writeText(base() + "/wallets.json", index.dump(2));
    }

    static nlohmann::json hdWallet(const std::string& mnemonic = kAbandon) {
        return {{"version", 2}, {"mnemonic", mnemonic}, {"recv", {0, 0, 0, 0, 0, 0}}, {"show", 0}};
    }

private:
    TempFolder folder_{"vault"};
    const std::string root_ = folder_.path;
};

class VaultTest : public ::testing::Test, public WalletFolder {
protected:
    void SetUp() override { resetCoreState(); }
    void TearDown() override {
        {
            auto g = lockWallet();
            reset_wallet_state(g.state);
        }
        resetClockSource();
    }
};

}  // namespace dialo::test
