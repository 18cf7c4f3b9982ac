// WAV files as the phone reads a microphone file, mixed to mono at 8 kHz.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<int16_t> samples;
    std::string error;
    // A rate of at least 1000 Hz cannot stretch 2-byte samples past 8 per input sample.
    if (wavBytesAs8kMono(fuzz::text(data, size), samples, error) && samples.size() > size * 4) std::abort();
    return 0;
}
