// The phone store as a start finds it: the shared file (phone.json) and a handle's own file
// (phone-fuzz.json), read by the settings load and the handle switch, which migrates the old
// single-file layout when the handle has no file, then written back by the next switch.
// The input is the shared file's text, then a NUL byte and the handle file's text; without a
// NUL there is no handle file. Seeds are files our store wrote (make_corpus.cpp).

#include <cstring>
#include <filesystem>

#include "fuzz_common.h"
#include "platform/data_dir.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"

using namespace dialo;

namespace {
std::string gDir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::isolate();
    gDir = store_directory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each input starts from an empty folder: kept-aside copies would pile up otherwise.
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);
    std::filesystem::create_directories(gDir, ec);
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t sharedSize = nul ? size_t(nul - data) : size;
    if (!fuzz::writeBytes(gDir + "/phone.json", data, sharedSize)) return 0;
    if (nul && !fuzz::writeBytes(gDir + "/phone-fuzz.json", nul + 1, size - sharedSize - 1)) return 0;
    load_settings();
    switch_store_handle("fuzz");
    switch_store_handle("");
    fuzz::refuseNetwork();  // the shared file may have named other hosts
    return 0;
}
