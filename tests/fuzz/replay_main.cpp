// The ordinary builds' stand-in for libFuzzer: feeds every file of the folders (or the files)
// named on the command line to the target once, so each seed and each fixed finding stays
// covered by ctest without clang. Inputs run on a thread with a 512 KiB stack: a reader whose
// stack use grows with its input (recursion over nested JSON, say) then fails on a file of
// tens of kilobytes rather than megabytes, so such regressions stay small. A missing folder counts as empty (git keeps no empty
// folders); no input at all is a failure, so a lost corpus cannot pass unnoticed.

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
};

void* runInput(void* arg) {
    const Input* in = static_cast<const Input*>(arg);
    LLVMFuzzerTestOneInput(in->data, in->size);
    return nullptr;
}

// Runs one input on a thread of its own with a small stack; false when no thread could be made.
bool runOnSmallStack(const uint8_t* data, size_t size) {
    constexpr size_t kStackBytes = 512 * 1024;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_t thread;
    Input in{data, size};
    const bool ok = pthread_attr_setstacksize(&attr, kStackBytes) == 0 &&
                    pthread_create(&thread, &attr, runInput, &in) == 0 && pthread_join(thread, nullptr) == 0;
    pthread_attr_destroy(&attr);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        const fs::path p = argv[i];
        if (fs::is_directory(p, ec)) {
            for (const auto& e : fs::directory_iterator(p, ec))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (fs::is_regular_file(p, ec)) {
            files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "cannot read %s\n", f.c_str());
            return 1;
        }
        // A copy of exactly the input's size, so a read past its end shows under AddressSanitizer.
        std::vector<uint8_t> data(bytes.begin(), bytes.end());
        if (!runOnSmallStack(data.data(), data.size())) {
            std::fprintf(stderr, "cannot start a thread for %s\n", f.c_str());
            return 1;
        }
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
