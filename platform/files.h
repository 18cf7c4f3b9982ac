#pragma once
// Whole-file reads, crash-safe replacement, and the byte-0 lock shared between processes.

#include <string>

namespace dialo {

/// Creates a folder and any missing parents (owner-only) unless it exists; true when it
/// exists afterwards.
bool ensureDirectory(const std::string& path);

/// Reads the whole file. A missing file is read as empty text when createMissing is set
/// (and is then created empty, owner-only); otherwise it fails.
[[nodiscard]] bool readWholeFile(const std::string& path, std::string& out, bool createMissing = false);

/// Reads the whole file; a missing file reads as empty text and is not created. False only
/// when a file that exists cannot be read.
[[nodiscard]] bool readIfPresent(const std::string& path, std::string& out);

/// Replaces the file with text through a temporary file in the same folder: written, flushed,
/// renamed over the old one. On failure the old file is untouched. New files are owner-only.
[[nodiscard]] bool writeFileAtomic(const std::string& path, const std::string& text);

/// Removes the temporary files writeFileAtomic left in a folder when their writer was killed
/// mid-write: named <file>.tmp-<pid>-<n>, of a process that no longer runs. A running
/// writer's are left alone. Answers how many were removed.
int removeDeadTempFiles(const std::string& folder);

/// Exclusive lock on byte 0 of a lock file, held until destruction; waits until granted
/// unless `wait` is false. Open-file-description locks, so two threads of one process
/// exclude each other too.
class FileLock {
public:
    explicit FileLock(const std::string& path, bool wait = true);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

/// Whether anything exists at the path.
bool pathExists(const std::string& path);

/// True when some open file (in any process) holds the byte-0 lock of this file.
bool lockHeldElsewhere(const std::string& path);

/// Copies a file through a temporary file and rename, like writeFileAtomic.
[[nodiscard]] bool copyFileAtomic(const std::string& from, const std::string& to);

}  // namespace dialo
