#include "fuzz_common.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "base/config.h"

namespace dialo::fuzz {
namespace {

std::string gFolder;

void removeFolder() {
    std::error_code ec;
    if (!gFolder.empty()) std::filesystem::remove_all(gFolder, ec);
}

}  // namespace

const std::string& scratchFolder() {
    if (gFolder.empty()) {
        // Memory-backed when there is one: the store syncs every file it writes.
        std::error_code ec;
        std::string pattern = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm/dialo-fuzz-XXXXXX"
                                                                             : "/tmp/dialo-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        gFolder = pattern;
        ::setenv("LOCALAPPDATA", gFolder.c_str(), 1);
        std::atexit(removeFolder);
    }
    return gFolder;
}

bool writeBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void refuseNetwork() {
    // Port 1 on loopback: nothing listens there, so a connect is refused at once.
    const std::string closed = "https://127.0.0.1:1";
    applyConfigDocument(nlohmann::json{{"network",
                                        {{"service_address", "127.0.0.1"},
                                         {"service_port", 1},
                                         {"directory_port", 1},
                                         {"woc_base", closed + "/woc"},
                                         {"arc_base", closed + "/arc"},
                                         {"update_base", closed},
                                         {"dns_server", "127.0.0.1:1"}}}});
}

}  // namespace dialo::fuzz
