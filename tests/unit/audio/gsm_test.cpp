// Voice as peers exchange it: our GSM 6.10 blocks decode the same in ffmpeg's independent
// "gsm_ms" decoder, and block and chunk sizes are what the rest of the phone counts on.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "../temp_folder.h"
#include "audio/capture.h"
#include "audio/gsm.h"
#include "audio/pcm.h"
#include "state/phone_state.h"

namespace dialo {
namespace {

// `seconds` of a voice-like test signal: two tones and a slow swell.
Bytes speechLike(double seconds) {
    Bytes pcm;
    const size_t n = size_t(seconds * 8000);
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i) / 8000;
        const double v = (0.5 + 0.5 * std::sin(2 * M_PI * 3 * t)) *
                         (6000 * std::sin(2 * M_PI * 220 * t) + 3000 * std::sin(2 * M_PI * 1370 * t));
        const uint16_t s = uint16_t(int16_t(v));
        pcm.push_back(uint8_t(s & 0xff));
        pcm.push_back(uint8_t(s >> 8));
    }
    return pcm;
}

void put16(std::string& s, uint16_t v) { s += char(v & 0xff), s += char(v >> 8); }
void put32(std::string& s, uint32_t v) { put16(s, uint16_t(v & 0xffff)), put16(s, uint16_t(v >> 16)); }

// A WAVE file of format 0x0031 holding the blocks, as a softphone would save a message.
std::string gsmWave(const Bytes& gsm) {
    std::string fmt, w;
    put16(fmt, 0x0031), put16(fmt, 1), put32(fmt, 8000), put32(fmt, 1625), put16(fmt, 65), put16(fmt, 0);
    put16(fmt, 2), put16(fmt, 320);
    w = "WAVE";
    w += "fmt ", put32(w, uint32_t(fmt.size())), w += fmt;
    w += "fact", put32(w, 4), put32(w, uint32_t(gsm.size() / 65 * 320));
    w += "data", put32(w, uint32_t(gsm.size())), w.append(gsm.begin(), gsm.end());
    std::string riff = "RIFF";
    put32(riff, uint32_t(w.size()));
    return riff + w;
}

Bytes joined(const std::vector<Bytes>& chunks) {
    Bytes all;
    for (const Bytes& c : chunks) all.insert(all.end(), c.begin(), c.end());
    return all;
}

TEST(GsmTest, OurBlocksDecodeAlikeInAnIndependentDecoder) {
    test::TempFolder folder("gsm", false);
    const Bytes gsm = gsmEncode(speechLike(2.0));
    ASSERT_EQ(gsm.size(), 2 * 1625u);
    const std::string wav = folder.path + "/voice.wav", raw = folder.path + "/voice.raw";
    std::ofstream(wav, std::ios::binary) << gsmWave(gsm);
    const std::string cmd = "ffmpeg -loglevel error -y -i '" + wav + "' -f s16le -acodec pcm_s16le '" + raw + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "ffmpeg (installed by scripts/setup) must decode " << wav;
    std::ifstream in(raw, std::ios::binary);
    const Bytes theirs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(joined(gsmDecode(gsm)), theirs);
}

TEST(GsmTest, BlockAndChunkSizesAreWhatCallersCount) {
    EXPECT_EQ(gsmEncode(Bytes(1279, 1)).size(), 65u) << "a trailing part-block is ignored";
    EXPECT_TRUE(gsmEncode(Bytes(639, 1)).empty());
    const std::vector<Bytes> chunks = gsmDecode(gsmEncode(speechLike(51 * 0.04)));
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].size(), 16000u);
    EXPECT_EQ(chunks[1].size(), 16000u);
    EXPECT_EQ(chunks[2].size(), 640u);
    EXPECT_TRUE(gsmDecode(Bytes(64, 0)).empty());
}

// Each message is decoded from its start by a fresh decoder; encoded from where the last
// message left the encoder, a steady tone would decode as near silence.
TEST(GsmTest, EveryMessageRecordedDecodesFromItsStart) {
    std::vector<int16_t> steady(16000);
    for (size_t i = 0; i < steady.size(); ++i) steady[i] = int16_t(10000 * std::sin(2 * M_PI * 700 * double(i) / 8000));
    const std::vector<int16_t> tone = steady, voice = samplesOf(speechLike(2.0));
    for (const std::vector<int16_t>* x : {&voice, &voice, &tone, &tone, &voice}) {
        SCOPED_TRACE(x == &tone ? "a tone" : "a voice");
        {
            auto g = lockPhone();
            g.state.messageAudio.clear();
            g.state.messageSeconds = 0;
            g.state.messageVoiced = false;
        }
        captureDeliver(x->data(), x->size());
        recordMessageStep(false);
        const Bytes gsm = lockPhone().state.messageAudio;
        ASSERT_EQ(gsm.size(), 2 * kGsmBytesPerSecond);
        const std::vector<int16_t> y = samplesOf(joined(gsmDecode(gsm)));
        ASSERT_EQ(y.size(), x->size());
        double signal = 0, noise = 0;
        for (size_t i = 0; i < y.size(); ++i) {
            signal += double((*x)[i]) * (*x)[i];
            noise += double((*x)[i] - y[i]) * ((*x)[i] - y[i]);
        }
        EXPECT_GT(10 * std::log10(signal / noise), 12) << "signal to noise, dB";
    }
}

}  // namespace
}  // namespace dialo
