// The update page's text: the version it names.

#include <cstdlib>
#include <string_view>

#include "app/update_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int v = dialo::extractVersion(std::string_view(reinterpret_cast<const char*>(data), size));
    if (v < -1) std::abort();
    return 0;
}
