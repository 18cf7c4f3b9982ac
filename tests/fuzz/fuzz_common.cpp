#include "fuzz_common.h"
#include <stdlib.h>
#include <cstdio>
#include "base/config.h"

namespace dialo::fuzz {
const std::string& isolate() {
    static const std::string folder = [] {
        // Memory-backed when there is one: the store syncs every file it writes.
        std::error_code ec;
        std::string pattern = std::string(std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp") + "/dialo-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        ::setenv("LOCALAPPDATA", pattern.c_str(), 1);
        std::atexit([] { std::error_code e; std::filesystem::remove_all(::getenv("LOCALAPPDATA"), e); });
        return pattern;
    }();
    refuseNetwork();
    return folder;
}
bool writeBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    return f && (std::fwrite(data, 1, size, f) == size) + (std::fclose(f) == 0) == 2;
}
void refuseNetwork() {
    // Port 1 on loopback: nothing listens there, so a connect is refused at once.
    const std::string closed = "https://127.0.0.1:1";
    applyConfigDocument(nlohmann::json{
        {"network",
         {{"service_address", "127.0.0.1"}, {"service_port", 1}, {"directory_port", 1}, {"woc_base", closed + "/woc"},
          {"arc_base", closed + "/arc"}, {"update_base", closed}, {"dns_server", "127.0.0.1:1"}}}});
}
}  // namespace dialo::fuzz
