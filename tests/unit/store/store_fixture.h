#pragma once
// Each phone-store test gets its own data folder (through LOCALAPPDATA).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>
#include "support/temp_folder.h"
#include "base/base64.h"
#include "state/phone_state.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "store/saver.h"
#include "store/store_internal.h"

namespace dialo::test {
using Ids = std::vector<std::string>;
class StoreTest : public ::testing::Test {
protected:
    std::string dataDir() const { return root_ + "/Orvane/dialo"; }
    std::string sharedFile() const { return dataDir() + "/phone.json"; }
    std::string handleFile(const std::string& key) const { return dataDir() + "/phone-" + key + ".json"; }
    std::string audioFile(const std::string& key, const std::string& id) const {
        return dataDir() + "/audio-" + key + "/" + store_detail::audioFileName(id);
    }
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
        return {std::istreambuf_iterator<char>(in), {}};
    }
    /// A store file that must hold a JSON object; an empty object (and a failure) otherwise.
    static nlohmann::json readJson(const std::string& path) {
        nlohmann::json doc = nlohmann::json::parse(readText(path), nullptr, false);
        EXPECT_TRUE(doc.is_object()) << path;
        return doc.is_object() ? doc : nlohmann::json::object();
    }
    static unsigned modeOf(const std::string& path) {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0 ? unsigned(st.st_mode & 0777) : 0;
    }
    std::set<std::string> folderEntries() const {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dataDir(), ec)) names.insert(e.path().filename().string());
        return names;
    }
    static void save() { save_phone_store(lockPhone().state); }
    template <class T>
    static Ids ids(std::vector<T> HandleBoxes::*list) {
        auto g = lockPhone();
        Ids out;
        for (const auto& e : g.state.boxes.*list) out.push_back(e.id);
        return out;
    }
    /// A stand-in for GSM audio: one 33-byte frame whose bytes start at `seed`.
    static Bytes audio(uint8_t seed) {
        Bytes b(33);
        for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(seed + i);
        return b;
    }
    static std::string audioText(uint8_t seed) {
        const Bytes b = audio(seed);
        return std::string(b.begin(), b.end());
    }
    // Records as the store files hold them (the old layout: audio inline) and as memory does.
    static nlohmann::json savedJson(int n, const std::string& id, const std::string& from, uint8_t seed) {
        return {{"n", n}, {"id", id}, {"from", from}, {"audio", base64Encode(audio(seed))}};
    }
    static nlohmann::json callJson(const std::string& from, const std::string& to, int64_t ts, const std::string& id) {
        return {{"from", from}, {"to", to}, {"secs", 12}, {"sats", 30}, {"ts", ts}, {"missed", false}, {"id", id}};
    }
    static nlohmann::json inboxJson(const std::string& id, const std::string& from, int64_t ts, uint8_t seed) {
        return {{"id", id}, {"from", from}, {"ts", ts}, {"secs", 4}, {"audio", base64Encode(audio(seed))}};
    }
    static InboxMessage inboxMessage(const std::string& id, const std::string& from, int64_t ts, uint8_t seed) {
        return {.id = id, .from = from, .audio = audio(seed), .txid = {}, .ts = ts, .secs = 4};
    }
    static CallRecord callRecord(const std::string& from, const std::string& to, int64_t ts, const std::string& id) {
        return {.from = from, .to = to, .secs = 12, .sats = 30, .ts = ts, .id = id, .txid = {}, .receipt = {}};
    }
private:
    TempFolder folder_{"store"};
    const std::string root_ = folder_.path;
};
inline Ids idsIn(const nlohmann::json& array) {
    Ids out;
    for (const auto& e : array) out.push_back(e.is_object() ? e.value("id", std::string()) : std::string());
    return out;
}
}  // namespace dialo::test
