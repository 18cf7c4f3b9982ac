#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (extractVersion(fuzz::text(data, size)) < -1) std::abort();
    return 0;
}
