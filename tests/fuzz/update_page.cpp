// The update page's text: the version it names.

#include <cstdlib>

#include "app/update_check.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int v = dialo::extractVersion(dialo::fuzz::text(data, size));
    if (v < -1) std::abort();
    return 0;
}
