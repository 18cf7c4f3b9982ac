// A data-output payload as the poller hands it to the dispatcher.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::isolate(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::readOpened(openPayloadWith(fuzz::text(data, size), fuzz::kIdentityPriv));
    return 0;
}
