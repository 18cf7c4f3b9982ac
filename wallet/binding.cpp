#include "wallet/binding.h"

#include <cctype>
#include <mutex>

#include <nlohmann/json.hpp>

#include "base/json_fields.h"
#include "platform/data_dir.h"
#include "platform/files.h"
#include "wallet/published.h"
#include "wallet/wallet_file.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr size_t kInstanceKeyChars = 96;
constexpr size_t kWalletIdChars = 128;

// What this process knows of its binding.
struct BindState {
    std::mutex mutex;
    bool appMode = false;
    std::string appName = "App";
    std::string instance = ".";
    std::string boundId;
};
BindState gBind;

void setBoundIdLocked(const std::string& id) {
    std::lock_guard lock(gBind.mutex);
    gBind.boundId = id;
}

}  // namespace

std::string vaultra_base_dir() { return platformDirectory(); }
std::string wallet_dir_path(const std::string& id) { return vaultra_base_dir() + "/wallets/" + id; }

bool is_plain_wallet_id(std::string_view id) {
    if (id.empty() || id.size() > kWalletIdChars || id.front() == '.') return false;
    for (char c : id)
        if (c == '/' || c == '\\' || c == '\0' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

void set_app_instance(WalletState&, std::string_view instance, std::string_view appName) {
    std::lock_guard g(gBind.mutex);
    gBind.appMode = true;
    gBind.appName = appName.empty() ? "App" : std::string(appName);
    gBind.instance = instance.empty() ? "." : std::string(instance);
    gBind.boundId.clear();
}

void reset_app_binding() {
    std::lock_guard lock(gBind.mutex);
    gBind.appMode = false;
    gBind.appName = "App";
    gBind.instance = ".";
    gBind.boundId.clear();
}

bool vaultra_app_mode() {
    std::lock_guard lock(gBind.mutex);
    return gBind.appMode;
}

std::string app_name() {
    std::lock_guard lock(gBind.mutex);
    return gBind.appName;
}

std::string app_instance() {
    std::lock_guard lock(gBind.mutex);
    return gBind.instance;
}

std::string bound_wallet_id() {
    std::lock_guard lock(gBind.mutex);
    return gBind.boundId;
}

std::string bound_wallet_file() {
    std::string id = bound_wallet_id();
    return id.empty() ? std::string() : wallet_dir_path(id) + "/wallet.json";
}

void set_bound_wallet_id(WalletState&, const std::string& id) {
    setBoundIdLocked(is_plain_wallet_id(id) ? id : std::string());
}

std::string instance_key(std::string_view instance) {
    std::string key;
    for (unsigned char c : instance) key.push_back(std::isalnum(c) && c < 0x80 ? char(std::tolower(c)) : '_');
    if (key.size() > kInstanceKeyChars) key = key.substr(key.size() - kInstanceKeyChars);
    return key.empty() ? "default" : key;
}

std::string bind_file_path() { return vaultra_base_dir() + "/binds/" + instance_key(app_instance()) + ".json"; }

std::string read_bind_file() {
    std::string text;
    if (!readWholeFile(bind_file_path(), text)) return {};
    json doc = json::parse(text, nullptr, false);
    std::string id = doc.is_object() ? string_field(doc, "wallet_id") : std::string();
    return is_plain_wallet_id(id) ? id : std::string();
}

bool write_bind_file(const std::string& id) {
    json doc = {{"app", app_name()}, {"instance", app_instance()}, {"wallet_id", id}};
    ensureDirectory(vaultra_base_dir() + "/binds");
    return writeFileAtomic(bind_file_path(), json_file_text(doc));
}

bool vaultra_connected() {
    auto g = lockWallet();
    std::string id = bound_wallet_id();
    if (vaultra_app_mode() && pathExists(bind_file_path())) {
        std::string fromFile = read_bind_file();
        if (fromFile != id) {
            // Another copy of this instance connected or disconnected meanwhile.
            reset_wallet_state(g.state);
            set_bound_wallet_id(g.state, fromFile);
        }
        id = fromFile;
    }
    if (!id.empty()) (void)load_wallet(g.state);
    return publish_wallet(g.state);
}

}  // namespace dialo
