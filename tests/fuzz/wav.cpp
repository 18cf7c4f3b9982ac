// WAV files as the phone reads a microphone file: any 16-bit PCM, mixed to mono and converted to
// 8 kHz. Seeds are WAV files our code wrote.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<int16_t> samples;
    std::string error;
    // Never more samples than the file has bytes: a rate of at least 1000 Hz cannot stretch
    // 2-byte samples past 8 per input sample.
    if (wavBytesAs8kMono(fuzz::text(data, size), samples, error) && samples.size() > size * 4) std::abort();
    return 0;
}
