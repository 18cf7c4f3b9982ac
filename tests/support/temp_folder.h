#pragma once
// Also LOCALAPPDATA, since each test runs in its own process.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <filesystem>
#include <string>

namespace dialo::test {
struct TempFolder {
    std::string path;
    explicit TempFolder(const char* name, bool dataFolder = true) {
        std::string pattern = std::string("/tmp/dialo-") + name + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot make " << pattern;
            return;
        }
        path = pattern;
        if (dataFolder) {
            EXPECT_EQ(::setenv("LOCALAPPDATA", path.c_str(), 1), 0);
        }
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};
}  // namespace dialo::test
