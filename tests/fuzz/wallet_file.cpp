// The wallet file Vaultra writes, read as the phone reads it.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::isolate();
    static const std::string path = [] {
        auto g = lockWallet();
        set_bound_wallet_id(g.state, "fuzz");
        std::filesystem::create_directories(std::filesystem::path(bound_wallet_file()).parent_path());
        return bound_wallet_file();
    }();
    if (!fuzz::writeBytes(path, data, size)) return 0;
    auto g = lockWallet();
    reset_wallet_state(g.state);
    (void)wallet_is_sealed();
    if (load_wallet(g.state)) {
        reload_wallet_counts(g.state);
        (void)wallet_avatar_text(g.state);
    }
    nlohmann::json doc;
    if (read_wallet_document(path, doc)) {
        (void)is_locked_envelope(doc);
        (void)contacts_from_document(doc);
        wipe_wallet_document(doc);
    }
    reset_wallet_state(g.state);
    return 0;
}
