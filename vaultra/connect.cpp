#include "vaultra/connect.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/json_fields.h"
#include "platform/data_dir.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "wallet/binding.h"
#include "wallet/client_sinks.h"
#include "wallet/mnemonic.h"
#include "wallet/published.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr int kReplyPolls = 120;
constexpr uint32_t kReplyPollMs = 500;

std::atomic<bool> gConnectAbort{false};

std::recursive_mutex gIndexMutex;
int gIndexDepth = 0;
std::unique_ptr<FileLock> gIndexFile;

void migrateLegacyWallet() {
    const std::string legacy = vaultra_base_dir() + "/orvane_vaultra.json";
    if (!pathExists(legacy)) return;
    json index = load_wallet_index();
    if (!index["wallets"].empty()) return;
    const std::string id = new_wallet_id();
    ensureDirectory(vaultra_base_dir() + "/wallets");
    ensureDirectory(wallet_dir_path(id));
    const std::string target = wallet_dir_path(id) + "/wallet.json";
    if (::rename(legacy.c_str(), target.c_str()) != 0) {
        if (!copyFileAtomic(legacy, target)) return;
        ::unlink(legacy.c_str());
    }
    index["wallets"].push_back({{"id", id}, {"name", "Wallet 1"}});
    index["active"] = id;
    (void)save_wallet_index(index);
}

// Refreshes what the loaded wallet says about itself (counts added in Vaultra, its handle).
void afterLoadRefresh(WalletState& w) REQUIRES(walletMutex()) {
    reload_wallet_counts(w);
    if (!w.paymail.empty()) name_wallet(bound_wallet_id(), w.paymail);
    (void)publish_wallet(w);
}

std::string fail(const std::string& status) {
    report_error(status);
    return status;
}

enum class Reply { Pending, Approved, Denied };

Reply readReply(const std::string& path, std::string& walletId) {
    if (!pathExists(path)) return Reply::Pending;
    std::string text;
    if (!readWholeFile(path, text)) return Reply::Denied;
    json doc = json::parse(text, nullptr, false);
    if (!doc.is_object()) return Reply::Denied;
    auto ok = doc.find("ok");
    if (ok == doc.end() || !ok->is_boolean() || !ok->get<bool>()) return Reply::Denied;
    walletId = string_field(doc, "wallet_id");
    return Reply::Approved;
}

}  // namespace

std::string connect_dir_path() { return vaultra_base_dir() + "/connect"; }
std::string watch_lock_path() { return vaultra_base_dir() + "/vaultra-watch.lock"; }

void lock_wallets() {
    gIndexMutex.lock();
    if (gIndexDepth++ == 0) {
        // When the file cannot be locked, work goes on under the mutex alone.
        gIndexFile = std::make_unique<FileLock>(vaultra_base_dir() + "/wallets.lock");
    }
}

void unlock_wallets() {
    if (--gIndexDepth == 0) gIndexFile.reset();
    gIndexMutex.unlock();
}

std::string new_wallet_id() {
    static std::atomic<int64_t> last{0};
    int64_t now = nowUnixMs();
    int64_t prev = last.load();
    int64_t next;
    do {
        next = now > prev ? now : prev + 1;
    } while (!last.compare_exchange_weak(prev, next));
    return "w" + std::to_string(next);
}

json load_wallet_index() {
    WalletsLock lock;
    std::string text;
    json index = json::object();
    if (readWholeFile(vaultra_base_dir() + "/wallets.json", text)) {
        json doc = json::parse(text, nullptr, false);
        if (doc.is_object()) index = std::move(doc);
    }
    if (!index.contains("wallets") || !index["wallets"].is_array()) index["wallets"] = json::array();
    return index;
}

bool save_wallet_index(const json& index) {
    WalletsLock lock;
    return writeFileAtomic(vaultra_base_dir() + "/wallets.json", json_file_text(index));
}

void bind_instance(std::string_view instance, std::string_view appName) {
    auto g = lockWallet();
    WalletsLock lock;
    set_app_instance(g.state, instance, appName);
    migrateLegacyWallet();
    std::string id = read_bind_file();
    if (id.empty()) {
        json index = load_wallet_index();
        if (index["wallets"].size() == 1 && index["wallets"][0].is_object()) {
            id = string_field(index["wallets"][0], "id");
            if (!is_plain_wallet_id(id)) id.clear();
            if (!id.empty()) (void)write_bind_file(id);
        }
    }
    set_bound_wallet_id(g.state, id);
}

std::string wallet_display_name(const std::string& id) {
    json index = load_wallet_index();
    for (const json& w : index["wallets"])
        if (w.is_object() && string_field(w, "id") == id) {
            std::string name = string_field(w, "name");
            return name.empty() ? id : name;
        }
    return id;
}

void name_wallet(const std::string& id, const std::string& handle) {
    if (id.empty() || handle.empty()) return;
    WalletsLock lock;
    json index = load_wallet_index();
    bool changed = false;
    for (json& w : index["wallets"])
        if (w.is_object() && string_field(w, "id") == id && string_field(w, "name") != handle) {
            w["name"] = handle;
            changed = true;
        }
    if (changed) (void)save_wallet_index(index);
}

bool launch_vaultra() {
    if (lockHeldElsewhere(watch_lock_path())) return true;
    const std::string dir = programDirectory();
    std::string program;
    for (const std::string& candidate : {dir + "/vaultra", dir.substr(0, dir.rfind('/')) + "/vaultra"})
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            program = candidate;
            break;
        }
    if (program.empty()) return false;
    // Vaultra asks on a terminal; without a desktop session there is nobody to ask.
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) return false;
    if (findInPath("x-terminal-emulator").empty()) return false;
    return spawnDetached({"x-terminal-emulator", "-e", program, "watch"});
}

std::string vaultra_connect() {
    if (!vaultra_app_mode()) return fail("error: connect is for apps, not the Vaultra vault.");
    {
        auto g = lockWallet();
        if (!bound_wallet_id().empty() && load_wallet(g.state)) {
            afterLoadRefresh(g.state);
            return "success";
        }
    }

    // Aborted before it began (quit right after connect): no request for Vaultra to answer.
    if (gConnectAbort) return fail("error: Vaultra did not approve in time. Open Vaultra.exe and try Connect again.");
    ensureDirectory(connect_dir_path());
    const std::string requestId = new_wallet_id();
    json request = {{"id", requestId}, {"app", app_name()}, {"instance", app_instance()}, {"ts", nowSeconds()}};
    const std::string base = connect_dir_path() + "/" + requestId;
    if (!writeFileAtomic(base + ".req.json", json_file_text(request)))
        return fail("error: could not write connect request.");

    (void)launch_vaultra();
    report_event({"[OV-VAULTRA]", "connect-pending", "Approve the connect in Vaultra."});
    report_text("Waiting for Vaultra to approve this app...\n");

    Reply reply = Reply::Pending;
    std::string approvedId;
    for (int poll = 0; poll < kReplyPolls && reply == Reply::Pending && !gConnectAbort; ++poll) {
        sleepMs(kReplyPollMs);
        reply = readReply(base + ".rep.json", approvedId);
    }
    if (reply == Reply::Denied) {
        report_event({"[OV-VAULTRA]", "connect-denied", "denied"});
        return fail("error: connect denied in Vaultra.");
    }
    if (reply == Reply::Pending) {
        report_event({"[OV-VAULTRA]", "connect-denied", "timeout"});
        return fail("error: Vaultra did not approve in time. Open vaultra and try Connect again.");
    }
    auto g = lockWallet();
    if (!approvedId.empty()) {
        if (!is_plain_wallet_id(approvedId)) return fail("error: approved, but the wallet would not load.");
        WalletsLock lock;
        set_bound_wallet_id(g.state, approvedId);
        (void)write_bind_file(approvedId);
    }
    reset_wallet_state(g.state);
    if (!load_wallet(g.state)) {
        (void)publish_wallet(g.state);
        json doc;
        bool locked = wallet_is_sealed() ||
                      (read_wallet_document(wallet_file_path(), doc) && doc.contains("lock"));
        wipe_wallet_document(doc);  // a file that would not load may still hold a phrase
        return fail(locked ? "error: This wallet is locked. Open it in Vaultra."
                           : "error: approved, but the wallet would not load.");
    }
    afterLoadRefresh(g.state);
    report_text("Connected to Vaultra wallet " + wallet_display_name(bound_wallet_id()) + "\n");
    return "success";
}

void vaultra_connect_arm() { gConnectAbort = false; }

void vaultra_connect_abort() { gConnectAbort = true; }

std::string vaultra_disconnect() {
    auto g = lockWallet();
    if (vaultra_app_mode()) {
        ::unlink(bind_file_path().c_str());
        set_bound_wallet_id(g.state, "");
    }
    reset_wallet_state(g.state);
    (void)publish_wallet(g.state);
    report_event({"[OV-VAULTRA]", "status"});
    report_text("This app is no longer connected to a Vaultra wallet.\n");
    return "success";
}

}  // namespace dialo
