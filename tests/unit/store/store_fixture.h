#pragma once
// Shared set-up for the phone-store tests: every test gets its own data folder (through
// LOCALAPPDATA), and small helpers write and read the store files the way a user's disk
// would hold them.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"

namespace dialo::test {

/// Counts what the store tells the two front-end surfaces.
struct UiCounts {
    std::atomic<int> connected{0};    // ConnectionChanged with w = 1
    std::atomic<int> otherMain{0};    // anything else sent to the main window
    std::atomic<int> cardsRefresh{0};
    std::atomic<int> otherCards{0};
};

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dialo-store-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        ASSERT_EQ(::setenv("LOCALAPPDATA", root_.c_str(), 1), 0);
    }

    void TearDown() override {
        setUiReceiver(UiTarget::Main, {});
        setUiReceiver(UiTarget::Cards, {});
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    std::string root() const { return root_; }
    std::string dataDir() const { return root_ + "/Orvane/dialo"; }
    std::string sharedFile() const { return dataDir() + "/phone.json"; }
    std::string handleFile(const std::string& key) const { return dataDir() + "/phone-" + key + ".json"; }

    /// Writes a file as another program (or an older version) would have left it.
    static void writeText(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good()) << path;
    }

    static void writeJson(const std::string& path, const nlohmann::json& doc) { writeText(path, doc.dump(2)); }

    static std::string readText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    /// The file parsed; a discarded value (which fails every comparison) when it does not parse.
    static nlohmann::json readJson(const std::string& path) {
        nlohmann::json doc = nlohmann::json::parse(readText(path), nullptr, false);
        EXPECT_FALSE(doc.is_discarded()) << path << " is not JSON";
        return doc;
    }

    static bool exists(const std::string& path) {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0;
    }

    /// Permission bits of a file, e.g. 0600.
    static unsigned modeOf(const std::string& path) {
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) return 0;
        return unsigned(st.st_mode & 0777);
    }

    /// Names of everything in the data folder.
    std::set<std::string> folderEntries() const {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dataDir(), ec))
            names.insert(e.path().filename().string());
        return names;
    }

    /// A little stand-in for GSM audio: one 33-byte frame whose bytes start at `seed`.
    static Bytes audio(uint8_t seed) {
        Bytes b(33);
        for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(seed + i);
        return b;
    }

    static nlohmann::json savedJson(int n, const std::string& id, const std::string& from, uint8_t seed) {
        return {{"n", n}, {"id", id}, {"from", from}, {"audio", base64Encode(audio(seed))}};
    }

    static nlohmann::json callJson(const std::string& from, const std::string& to, int64_t ts,
                                   const std::string& id) {
        return {{"from", from}, {"to", to}, {"secs", 12}, {"sats", 30}, {"ts", ts}, {"missed", false}, {"id", id}};
    }

    static nlohmann::json inboxJson(const std::string& id, const std::string& from, int64_t ts, uint8_t seed) {
        return {{"id", id}, {"from", from}, {"ts", ts}, {"secs", 4}, {"audio", base64Encode(audio(seed))}};
    }

    static SavedMessage savedMessage(int n, const std::string& id, const std::string& from, uint8_t seed) {
        SavedMessage m;
        m.n = n;
        m.id = id;
        m.from = from;
        m.audio = audio(seed);
        return m;
    }

    static InboxMessage inboxMessage(const std::string& id, const std::string& from, int64_t ts, uint8_t seed) {
        InboxMessage m;
        m.id = id;
        m.from = from;
        m.audio = audio(seed);
        m.ts = ts;
        m.secs = 4;
        return m;
    }

    static CallRecord callRecord(const std::string& from, const std::string& to, int64_t ts,
                                 const std::string& id) {
        CallRecord c;
        c.from = from;
        c.to = to;
        c.secs = 12;
        c.sats = 30;
        c.ts = ts;
        c.id = id;
        return c;
    }

    /// Registers counting receivers on both surfaces.
    void countUi(UiCounts& counts) {
        setUiReceiver(UiTarget::Main, [&counts](UiMessage m, intptr_t w, intptr_t) {
            if (m == UiMessage::ConnectionChanged && w == 1)
                ++counts.connected;
            else
                ++counts.otherMain;
        });
        setUiReceiver(UiTarget::Cards, [&counts](UiMessage m, intptr_t, intptr_t) {
            if (m == UiMessage::CardsRefresh)
                ++counts.cardsRefresh;
            else
                ++counts.otherCards;
        });
    }

private:
    std::string root_;
};

/// The element of a JSON array whose "id" is `id`; null when there is none.
inline nlohmann::json findById(const nlohmann::json& array, const std::string& id) {
    if (!array.is_array()) return nullptr;
    for (const auto& e : array)
        if (e.is_object() && e.contains("id") && e["id"].is_string() && e["id"] == id) return e;
    return nullptr;
}

}  // namespace dialo::test
