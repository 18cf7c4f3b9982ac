#include "platform/data_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/files.h"
#include "platform/paths.h"

namespace dialo {
namespace {

// Opened without following a link, so the checks are of the folder itself, not of where a
// link made by someone else points.
bool ownPrivateFolder(const std::string& path, bool tighten) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    if (ok && (st.st_mode & 077) != 0) ok = tighten && ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::string privateRuntimeDirectory(const std::string& fallbackParent) {
    const std::string runtime = envText("XDG_RUNTIME_DIR");
    if (!runtime.empty() && ownPrivateFolder(runtime, false)) return runtime;
    const std::string own = fallbackParent + "/dialo-" + std::to_string(::geteuid());
    (void)::mkdir(own.c_str(), 0700);  // one that exists already is judged below
    return ownPrivateFolder(own, true) ? own : std::string();
}

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
