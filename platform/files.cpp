#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dialo {
namespace {

// Owns a descriptor so every path closes it.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

constexpr char kTempMark[] = ".tmp-";

// The pid in "<file>.tmp-<pid>-<n>", or 0 when the name is not one of writeFileAtomic's.
pid_t tempWriter(const std::string& name) {
    const size_t mark = name.rfind(kTempMark);
    if (mark == std::string::npos || mark == 0) return 0;
    const size_t start = mark + sizeof kTempMark - 1, dash = name.find('-', start);
    if (dash == std::string::npos || dash == start || dash + 1 == name.size()) return 0;
    long long pid = 0;
    for (size_t i = start; i < name.size(); ++i) {
        if (i == dash) continue;
        if (name[i] < '0' || name[i] > '9') return 0;
        if (i < dash && (pid = pid * 10 + (name[i] - '0')) > 4194304) return 0;  // above pid_max
    }
    return pid_t(pid);
}

}  // namespace

bool ensureDirectory(const std::string& path) {
    if (path.empty()) return false;
    if (::mkdir(path.c_str(), 0700) == 0) return true;
    // A fresh account may lack even ~/.local: make the missing parents first.
    if (errno == ENOENT) {
        const std::string parent = folderOf(path);
        if (parent.size() < path.size() && ensureDirectory(parent) && ::mkdir(path.c_str(), 0700) == 0) return true;
    }
    struct stat st{};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool readWholeFile(const std::string& path, std::string& out, bool createMissing) {
    out.clear();
    if (path.empty()) return false;
    int flags = O_RDONLY | O_CLOEXEC | (createMissing ? O_CREAT : 0);
    Fd f(::open(path.c_str(), flags, 0600));
    if (f.fd < 0) return false;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            out.clear();
            return false;
        }
        if (n == 0) return true;
        out.append(buf, size_t(n));
    }
}

bool writeFileAtomic(const std::string& path, const std::string& text) {
    if (path.empty()) return false;
    // Keep the mode of a file that already exists; new files are owner-only.
    mode_t mode = 0600;
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 0777;

    static std::atomic<unsigned> sequence{0};
    std::string tmp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++sequence);
    {
        Fd f(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
        if (f.fd < 0) return false;
        if (!writeAll(f.fd, text.data(), text.size()) || ::fsync(f.fd) != 0) {
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename itself must reach the disk too, or a crash could bring back the old file.
    Fd dir(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0) ::fsync(dir.fd);
    return true;
}

int removeDeadTempFiles(const std::string& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return 0;
    int removed = 0;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        const pid_t writer = tempWriter(name);
        // EPERM: the writer runs, under another user.
        if (writer <= 0 || ::kill(writer, 0) == 0 || errno != ESRCH) continue;
        if (::unlink((folder + "/" + name).c_str()) == 0) ++removed;
    }
    return removed;
}

namespace {
struct flock firstByte(short type) {
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    return fl;
}
}  // namespace

FileLock::FileLock(const std::string& path, bool wait) {
    if (path.empty()) return;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    struct flock fl = firstByte(F_WRLCK);
    int rc;
    do {
        rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

FileLock::~FileLock() {
    if (fd_ < 0) return;
    struct flock fl = firstByte(F_UNLCK);
    ::fcntl(fd_, F_OFD_SETLK, &fl);
    ::close(fd_);
}

bool readIfPresent(const std::string& path, std::string& out) {
    out.clear();
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT;
    return readWholeFile(path, out);
}

bool pathExists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

bool lockHeldElsewhere(const std::string& path) {
    Fd f(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (f.fd < 0) return false;
    struct flock fl = firstByte(F_WRLCK);
    if (::fcntl(f.fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

bool copyFileAtomic(const std::string& from, const std::string& to) {
    std::string text;
    return readWholeFile(from, text) && writeFileAtomic(to, text);
}

}  // namespace dialo
