// libFuzzer's stand-in: a 512 KiB stack so deep readers fail on kilobytes; no input fails, so a lost corpus shows.
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

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    std::error_code ec;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_regular_file(argv[i], ec)) files.push_back(argv[i]);
        for (const auto& e : fs::directory_iterator(fs::is_directory(argv[i], ec) ? argv[i] : "/nonexistent", ec))
            if (e.is_regular_file()) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        // A copy of exactly the input's size, so a read past its end shows under AddressSanitizer.
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        pthread_attr_t attr;
        pthread_t thread;
        auto run = [](void* arg) -> void* {
            auto* input = static_cast<std::vector<uint8_t>*>(arg);
            LLVMFuzzerTestOneInput(input->data(), input->size());
            return nullptr;
        };
        const bool ran = pthread_attr_init(&attr) == 0 && pthread_attr_setstacksize(&attr, 512 * 1024) == 0 &&
                         pthread_create(&thread, &attr, run, &data) == 0 && pthread_join(thread, nullptr) == 0;
        if ((!in.eof() && in.fail()) || !ran) {
            std::fprintf(stderr, "cannot read or run %s\n", f.c_str());
            return 1;
        }
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
