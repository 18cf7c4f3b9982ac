// The shared file, a NUL, then the handle file (none without a NUL), read and written back as handle switches do.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::isolate();
    static const std::string dir = store_directory();
    // Each input starts from an empty folder: kept-aside copies would pile up otherwise.
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t shared = nul ? size_t(nul - data) : size;
    if (!fuzz::writeBytes(dir + "/phone.json", data, shared)) return 0;
    if (nul && !fuzz::writeBytes(dir + "/phone-fuzz.json", nul + 1, size - shared - 1)) return 0;
    load_settings();
    switch_store_handle("fuzz");
    switch_store_handle("");
    return 0;  // the next isolate() refuses the network again, whatever hosts the file named
}
