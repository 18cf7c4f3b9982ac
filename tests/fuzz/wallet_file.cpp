// The wallet file Vaultra writes (wallets/<id>/wallet.json), read as the phone reads it: the
// load, the sealed check, the re-read of its counts and the avatar text. Seeds are files
// vaultra's own commands wrote (make_corpus.cpp).

#include <filesystem>

#include <nlohmann/json.hpp>

#include "fuzz_common.h"
#include "wallet/binding.h"
#include "wallet/contacts.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_lock.h"
#include "wallet/wallet_state.h"

using namespace dialo;

namespace {
std::string gPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::isolate();
    auto g = lockWallet();
    set_bound_wallet_id(g.state, "fuzz");
    gPath = bound_wallet_file();
    std::filesystem::create_directories(std::filesystem::path(gPath).parent_path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzz::writeBytes(gPath, data, size)) return 0;
    auto g = lockWallet();
    reset_wallet_state(g.state);
    (void)wallet_is_sealed();
    if (load_wallet(g.state)) {
        reload_wallet_counts(g.state);
        (void)wallet_avatar_text(g.state);
    }
    nlohmann::json doc;
    if (read_wallet_document(gPath, doc)) {
        (void)is_locked_envelope(doc);
        (void)contacts_from_document(doc);
        wipe_wallet_document(doc);
    }
    reset_wallet_state(g.state);
    return 0;
}
