#include "platform/data_dir.h"

#include <cstdlib>

#include "platform/files.h"

namespace dialo {
namespace {

std::string envText(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

}  // namespace

std::string platformDirectory() {
    std::string base = envText("LOCALAPPDATA");
    if (base.empty()) base = envText("XDG_DATA_HOME");
    if (base.empty()) {
        std::string home = envText("HOME");
        base = home.empty() ? std::string(".") : home + "/.local/share";
    }
    std::string dir = base + "/Orvane";
    ensureDirectory(dir);
    return dir;
}

}  // namespace dialo
