// The ordinary builds' stand-in for libFuzzer: feeds every file of the folders (or the files)
// named on the command line to the target once, so each seed and each fixed finding stays
// covered by ctest without clang. Each input runs on a thread with a 512 KiB stack, so a reader
// whose stack grows with its input (recursion over nested JSON, say) fails on tens of kilobytes
// rather than megabytes and such regressions stay small. A missing folder counts as empty (git
// keeps no empty folders); no input at all fails, so a lost corpus cannot pass unnoticed.

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

// Runs one input on a thread of its own with a small stack; false when no thread could be made.
bool runOnSmallStack(std::vector<uint8_t>& input) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        auto* in = static_cast<std::vector<uint8_t>*>(arg);
        LLVMFuzzerTestOneInput(in->data(), in->size());
        return nullptr;
    };
    const bool ok = pthread_attr_setstacksize(&attr, 512 * 1024) == 0 &&
                    pthread_create(&thread, &attr, run, &input) == 0 && pthread_join(thread, nullptr) == 0;
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
        if (fs::is_directory(argv[i], ec)) {
            for (const auto& e : fs::directory_iterator(argv[i], ec))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (fs::is_regular_file(argv[i], ec)) {
            files.push_back(argv[i]);
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A copy of exactly the input's size, so a read past its end shows under AddressSanitizer.
        std::vector<uint8_t> data(bytes.begin(), bytes.end());
        if ((!in.eof() && in.fail()) || !runOnSmallStack(data)) {
            std::fprintf(stderr, "cannot read or run %s\n", f.c_str());
            return 1;
        }
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
