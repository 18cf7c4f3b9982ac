#include "platform/paths.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace dialo {

std::string programPath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || size_t(n) >= sizeof buf) return {};
    return std::string(buf, size_t(n));
}

std::string programDirectory() {
    const std::string path = programPath();
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    return path.substr(0, slash == 0 ? 1 : slash);
}

std::string envText(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

}  // namespace dialo
