// Our GSM 6.10 blocks against ffmpeg's independent "gsm_ms" codec, and the sizes callers count on.
#include <gtest/gtest.h>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include "support/temp_folder.h"
#include "support/voice_signal.h"
#include "audio/capture.h"
#include "audio/gsm.h"
#include "audio/pcm.h"
#include "state/phone_state.h"
namespace dialo {
namespace {
Bytes voice(double seconds) { return bytesOf(test::voiceSignal(seconds)); }
void put16(std::string& s, uint16_t v) { s += char(v & 0xff), s += char(v >> 8); }
void put32(std::string& s, uint32_t v) { put16(s, uint16_t(v & 0xffff)), put16(s, uint16_t(v >> 16)); }
// A WAVE file of format 0x0031 holding the blocks, as a softphone would save a message.
std::string gsmWave(const Bytes& gsm) {
    std::string fmt, w = "WAVEfmt ";
    put16(fmt, 0x0031), put16(fmt, 1), put32(fmt, 8000), put32(fmt, 1625), put16(fmt, 65), put16(fmt, 0);
    put16(fmt, 2), put16(fmt, 320);
    put32(w, uint32_t(fmt.size())), w += fmt;
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
// Runs ffmpeg (installed by scripts/setup) on `in`, writing `out`; `out`'s bytes.
Bytes ffmpeg(const std::string& inOptions, const std::string& in, const std::string& outOptions, const std::string& out) {
    const std::string cmd = "ffmpeg -loglevel error -y " + inOptions + " -i '" + in + "' " + outOptions + " '" + out + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream file(out, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}
TEST(GsmTest, OurBlocksAndAnIndependentCodecsDecodeAlike) {
    test::TempFolder folder("gsm", false);
    const std::string dir = folder.path + "/";
    const Bytes gsm = gsmEncode(voice(10.0));
    ASSERT_EQ(gsm.size(), 10 * 1625u);
    std::ofstream(dir + "ours.wav", std::ios::binary) << gsmWave(gsm);
    EXPECT_EQ(joined(gsmDecode(gsm)), ffmpeg("", dir + "ours.wav", "-f s16le -acodec pcm_s16le", dir + "ours.raw"));
    // The other way: blocks that ffmpeg's encoder made decode here as ffmpeg decodes them.
    const Bytes speech = voice(3.0);
    std::ofstream(dir + "speech.raw", std::ios::binary).write(reinterpret_cast<const char*>(speech.data()), long(speech.size()));
    const Bytes file = ffmpeg("-f s16le -ar 8000 -ac 1", dir + "speech.raw", "-c:a gsm_ms", dir + "theirs.wav");
    const size_t data = std::string(file.begin(), file.end()).find("data", 12);
    ASSERT_NE(data, std::string::npos);
    const size_t size = file[data + 4] | file[data + 5] << 8 | file[data + 6] << 16;
    ASSERT_LE(data + 8 + size, file.size());
    const Bytes blocks(file.begin() + long(data + 8), file.begin() + long(data + 8 + size));
    ASSERT_EQ(blocks.size() % 65, 0u);
    EXPECT_EQ(joined(gsmDecode(blocks)), ffmpeg("", dir + "theirs.wav", "-f s16le -acodec pcm_s16le", dir + "theirs.raw"));
}
TEST(GsmTest, BlockAndChunkSizesAreWhatCallersCount) {
    EXPECT_EQ(gsmEncode(Bytes(1279, 1)).size(), 65u) << "a trailing part-block is ignored";
    EXPECT_TRUE(gsmEncode(Bytes(639, 1)).empty());
    const Bytes gsm = gsmEncode(voice(51 * 0.04));
    const std::vector<Bytes> chunks = gsmDecode(gsm);
    std::vector<size_t> sizes;
    for (const Bytes& c : chunks) sizes.push_back(c.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{16000, 16000, 640})) << "a second a chunk";
    EXPECT_TRUE(gsmDecode(Bytes(64, 0)).empty());
    Bytes ragged = gsm;
    ragged.resize(ragged.size() + 30, 7);
    EXPECT_EQ(joined(gsmDecode(ragged)), joined(chunks)) << "a trailing part-block is not decoded";
}
// Signal to noise of what a receiver decodes, in dB.
double decodedSnr(const std::vector<int16_t>& x, const Bytes& gsm) {
    const std::vector<int16_t> y = samplesOf(joined(gsmDecode(gsm)));
    EXPECT_EQ(y.size(), x.size());
    double signal = 0, noise = 0;
    for (size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
        signal += double(x[i]) * x[i];
        noise += double(x[i] - y[i]) * (x[i] - y[i]);
    }
    return 10 * std::log10(signal / std::max(noise, 1.0));
}
// A fresh encoder per message: carried-over state would turn a steady tone to near silence.
TEST(GsmTest, EveryMessageAndLiveChunkDecodesFromItsStart) {
    std::vector<int16_t> tone(16000);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(10000 * std::sin(2 * M_PI * 700 * double(i) / 8000));
    std::vector<int16_t> speech = test::voiceSignal(2.0);
    for (const std::vector<int16_t>* x : {&speech, &speech, &tone, &tone, &speech}) {
        SCOPED_TRACE(x == &tone ? "a tone" : "a voice");
        lockPhone().state.messageAudio.clear();
        lockPhone().state.messageSeconds = 0;
        lockPhone().state.messageVoiced = false;
        captureDeliver(x->data(), x->size());
        recordMessageStep(false);
        const Bytes gsm = lockPhone().state.messageAudio;
        ASSERT_EQ(gsm.size(), 2 * kGsmBytesPerSecond);
        EXPECT_GT(decodedSnr(*x, gsm), 12) << "a message";
        captureDeliver(x->data(), x->size());
        bool voiced = false;
        const Bytes chunk = takeLiveChunk(true, voiced);
        EXPECT_TRUE(voiced);
        EXPECT_GT(decodedSnr(*x, chunk), 12) << "a live chunk";
    }
}
}  // namespace
}  // namespace dialo
