#include "audio/wav.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "audio/gsm.h"
#include "audio/pcm.h"
#include "platform/files.h"

namespace dialo {
namespace {

constexpr uint64_t kMaxWavBytes = 512ull << 20;  // about 4.6 hours at 16-bit 16 kHz stereo

uint32_t le32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 | uint32_t(uint8_t(s[at + 2])) << 16 |
           uint32_t(uint8_t(s[at + 3])) << 24;
}
uint16_t le16(const std::string& s, size_t at) { return uint16_t(uint8_t(s[at]) | uint8_t(s[at + 1]) << 8); }

void put16(std::string& s, uint32_t v) { s += char(v & 0xff), s += char((v >> 8) & 0xff); }
void put32(std::string& s, uint32_t v) { put16(s, v & 0xffff), put16(s, v >> 16); }

}  // namespace

bool readWavAs8kMono(const std::string& path, std::vector<int16_t>& out, std::string& error) {
    out.clear();
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return error = "The sound file could not be read.", false;
    const std::streamoff size = in.tellg();
    if (size < 0 || uint64_t(size) > kMaxWavBytes) return error = "The sound file is too long.", false;
    std::string file(size_t(size), '\0');
    in.seekg(0);
    if (!in.read(file.data(), size)) return error = "The sound file could not be read.", false;
    return wavBytesAs8kMono(file, out, error);
}

bool wavBytesAs8kMono(const std::string& file, std::vector<int16_t>& out, std::string& error) {
    out.clear();
    if (file.size() < 12 || file.compare(0, 4, "RIFF") != 0 || file.compare(8, 4, "WAVE") != 0)
        return error = "The sound file is not a WAV file.", false;

    // Chunks are walked by their sizes; a size that runs past the end is a file cut short.
    uint16_t tag = 0, channels = 0, bits = 0;
    uint32_t rate = 0;
    bool haveFormat = false;
    size_t dataAt = 0, dataBytes = 0;
    for (size_t at = 12; at + 8 <= file.size();) {
        const uint32_t chunk = le32(file, at + 4);
        const size_t body = at + 8;
        if (uint64_t(chunk) > file.size() - body) {
            if (file.compare(at, 4, "data") != 0 || !haveFormat) return error = "The sound file is cut short.", false;
            dataAt = body, dataBytes = file.size() - body;  // a recorder killed before it wrote the size
            break;
        }
        if (file.compare(at, 4, "fmt ") == 0 && chunk >= 16) {
            tag = le16(file, body), channels = le16(file, body + 2), rate = le32(file, body + 4);
            bits = le16(file, body + 14);
            if (tag == 0xFFFE && chunk >= 40) tag = le16(file, body + 24);  // the extensible sub-format
            haveFormat = true;
        } else if (file.compare(at, 4, "data") == 0) {
            dataAt = body, dataBytes = chunk;
            break;
        }
        at = body + chunk + (chunk & 1);
    }
    if (!haveFormat || dataAt == 0) return error = "The sound file is cut short.", false;
    if (tag != 1 || bits != 16 || channels == 0 || rate < 1000 || rate > 384000)
        return error = "The sound file is not 16-bit PCM.", false;

    const size_t frames = dataBytes / (2u * channels);
    std::vector<int16_t> mono(frames);
    for (size_t f = 0; f < frames; ++f) {
        int32_t sum = 0;
        for (size_t c = 0; c < channels; ++c) sum += int16_t(le16(file, dataAt + (f * channels + c) * 2));
        mono[f] = int16_t(sum / int32_t(channels));
    }
    if (rate == 8000) return out = std::move(mono), true;
    if (frames == 0) return true;
    const size_t n = size_t(uint64_t(frames) * 8000 / rate);
    out.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const double p = double(i) * rate / 8000.0;
        const size_t k = std::min(size_t(p), frames - 1);
        const double f = p - double(size_t(p));
        const double next = k + 1 < frames ? mono[k + 1] : mono[k];
        out[i] = int16_t(mono[k] * (1 - f) + next * f);
    }
    return true;
}

std::string wavHeader(const MixFormat& format, uint32_t dataBytes) {
    const bool isFloat = format.isFloat;
    std::string h = "RIFF";
    put32(h, (isFloat ? 50 : 36) + dataBytes);
    h += "WAVEfmt ";
    put32(h, isFloat ? 18 : 16);
    put16(h, isFloat ? 3 : 1);
    put16(h, format.channels);
    put32(h, format.rate);
    put32(h, format.rate * format.blockAlign);
    put16(h, format.blockAlign);
    put16(h, format.bits);
    if (isFloat) {
        put16(h, 0);
        h += "fact";
        put32(h, 4);
        put32(h, format.blockAlign ? dataBytes / format.blockAlign : 0);
    }
    h += "data";
    put32(h, dataBytes);
    return h;
}

bool writeWav8k(const std::string& path, const std::vector<int16_t>& samples) {
    MixFormat mono{8000, 1, 16, 2, false};
    std::string file = wavHeader(mono, uint32_t(samples.size() * 2));
    for (int16_t s : samples) put16(file, uint16_t(s));
    return writeFileAtomic(path, file);
}

double exportMessageWav(const std::string& path, const Bytes& gsm) {
    std::vector<int16_t> samples;
    for (const Bytes& chunk : gsmDecode(gsm)) {
        const std::vector<int16_t> s = samplesOf(chunk);
        samples.insert(samples.end(), s.begin(), s.end());
    }
    if (!writeWav8k(path, samples)) return -1;
    return double(samples.size()) / 8000;
}

}  // namespace dialo
