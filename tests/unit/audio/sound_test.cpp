// The microphone, the recorder, the tones and playback, through the real-time WAV-file device.
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <optional>
#include <tuple>
#include <nlohmann/json.hpp>
#include "support/pulse_daemon.h"
#include "support/temp_folder.h"
#include "support/voice_signal.h"
#include "audio/backend.h"
#include "audio/capture.h"
#include "audio/gsm.h"
#include "audio/pcm.h"
#include "audio/playback.h"
#include "audio/playout.h"
#include "audio/tones.h"
#include "audio/wav.h"
#include "base/clock.h"
#include "base/config.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
namespace dialo {
namespace {
using nlohmann::json;
using std::chrono::steady_clock;
using test::voiceSignal;
std::vector<int16_t> join(std::initializer_list<std::vector<int16_t>> parts) {
    std::vector<int16_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
void deliver(const std::vector<int16_t>& samples) {
    for (size_t at = 0; at < samples.size(); at += kCaptureSamples)
        captureDeliver(samples.data() + at, std::min(kCaptureSamples, samples.size() - at));
}
std::atomic<uint64_t> gFakeMs{1'000'000};
uint64_t fakeMs() { return gFakeMs; }
std::atomic<int64_t> gFakeUnix{1'800'000'000};
int64_t fakeUnix() { return gFakeUnix; }
std::tuple<uint32_t, size_t, std::string> message() {
    auto g = lockPhone();
    return {g.state.messageSeconds, g.state.messageAudio.size(), g.state.statusText};
}
TEST(SoundTest, TheMicrophoneKeepsItsBoundHoldsOffForTonesAndAppliesTheVolume) {
    setClockSource({fakeMs, nullptr, nullptr});
    clearCapture();
    // Bound 60 s: 62 s stay untouched, the next buffer trims to exactly 60 s.
    deliver(std::vector<int16_t>(62 * 8000, 100));
    EXPECT_EQ(capturedBytes(), 992000u);
    deliver(std::vector<int16_t>(kCaptureSamples, 100));
    EXPECT_EQ(capturedBytes(), 960000u);
    clearCapture();
    // A buffer 1 ms before the hold-off ends is dropped; one at its end is kept.
    setCaptureHoldOff(gFakeMs + 1);
    deliver(std::vector<int16_t>(1600, 100));
    EXPECT_EQ(capturedBytes(), 0u);
    ++gFakeMs;
    deliver(std::vector<int16_t>(1600, 100));
    EXPECT_EQ(capturedBytes(), 3200u);
    for (const auto& [volume, in, out] : {std::tuple{200, 20000, 32767}, {200, -20000, -32768}, {50, -3, -1},
                                           {150, 30000, 32767}, {100, -30000, -30000}}) {
        clearCapture();
        phoneFlags().volume = volume;
        deliver(std::vector<int16_t>(1600, int16_t(in)));
        const Bytes pcm = takeCaptured(640);
        ASSERT_EQ(pcm.size(), 640u);
        EXPECT_EQ(samplesOf(pcm)[0], out) << "volume " << volume << ", sample " << in;
    }
    phoneFlags().volume = 100;
    EXPECT_EQ(micPeakLevel(), 30000) << "the level a user sees is the microphone's own";
    // With nothing to play on, a ring is a system beep, and the microphone still holds off.
    int beeps = 0;
    setSystemBeep([&beeps] { ++beeps; });
    clearCapture();
    playRingTone();
    EXPECT_EQ(beeps, 1);
    gFakeMs += 1299;
    deliver(std::vector<int16_t>(1600, 100));
    EXPECT_EQ(capturedBytes(), 0u) << "the ring's second and its echo are not captured";
    setSystemBeep({});
    resetClockSource();
}
TEST(SoundTest, TheRecorderKeepsVoicedSecondsOnly) {
    const std::vector<int16_t> silence(8000, 0);
    std::vector<int16_t> ring = ringTone();
    struct Case {  // left: bytes still in the capture buffer
        const char* name; std::vector<int16_t> sound; bool flush; bool mute; uint32_t seconds; size_t left;
    } cases[] = {
        {"2.5 s flushed: the half second is padded", voiceSignal(2.5), true, false, 3, 0},
        {"2.05 s flushed: 0.05 s is too short to record", voiceSignal(2.05), true, false, 2, 800},
        {"2.5 s unflushed: whole seconds only", voiceSignal(2.5), false, false, 2, 8000},
        {"leading silence is skipped", join({silence, silence, silence, silence, voiceSignal(3)}), false, false, 3, 0},
        {"silence after voice is kept", join({voiceSignal(1), silence, voiceSignal(1)}), false, false, 3, 0},
        {"the phone's own ring is dropped mid-speech", join({voiceSignal(2), ring, voiceSignal(1)}), false, false, 3, 0},
        {"muted: nothing is recorded and the buffer empties", voiceSignal(3), true, true, 0, 0},
    };
    for (const Case& c : cases) {
        { auto g = lockPhone(); g.state.messageAudio.clear(), g.state.messageSeconds = 0, g.state.messageVoiced = false; }
        clearCapture();
        phoneFlags().mute = c.mute;
        deliver(c.sound);
        recordMessageStep(c.flush);
        const auto [seconds, bytes, status] = message();
        EXPECT_EQ(seconds, c.seconds) << c.name;
        EXPECT_EQ(bytes, c.seconds * kGsmBytesPerSecond) << c.name;
        EXPECT_EQ(capturedBytes(), c.left) << c.name;
        EXPECT_EQ(c.seconds > 0 ? status : "", c.seconds > 0 ? "Recording  " + std::to_string(c.seconds) + " / 60" : "") << c.name;
    }
    phoneFlags().mute = false;
    // A message stops at 60 seconds; what comes after is discarded.
    clearCapture();
    deliver(voiceSignal(61));
    recordMessageStep(false);
    recordMessageStep(true);
    EXPECT_EQ(message(), std::make_tuple(60u, 60 * kGsmBytesPerSecond, std::string("Recording  60 / 60")));
}
// A voiced sound: harmonics of `f0` (rising by `glide` per second) under one formant at 500 Hz.
std::vector<int16_t> vowel(double f0, double glide) {
    std::vector<int16_t> out(8000);
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        phase += 2 * M_PI * f0 * (1 + glide * double(i) / 8000) / 8000;
        double v = 0;
        for (int h = 1; h < 25; ++h) v += std::sin(h * phase) * std::exp(-std::pow((h * f0 - 500) / 250, 2));
        out[i] = int16_t(6000 * v);
    }
    return out;
}
TEST(SoundTest, TheRingIsKnownApartFromVoiceAndTheMessageBeep) {
    EXPECT_FALSE(holdsRingTone(bytesOf(voiceSignal(1))));
    EXPECT_FALSE(holdsRingTone(bytesOf(join({messageBeep(), std::vector<int16_t>(4400, 0)})))) << "the beep";
    for (double f0 : {110.0, 160.0, 240.0})
        for (double glide : {0.0, 0.1}) EXPECT_FALSE(holdsRingTone(bytesOf(vowel(f0, glide)))) << f0 << " Hz, glide " << glide;
    // The ring itself, quieter with noise, or cut short, still is.
    std::vector<int16_t> noisy = ringTone(), part = ringTone();
    uint32_t seed = 1;
    for (int16_t& s : noisy) s = int16_t(s * 3 / 10 + int((seed = seed * 1103515245 + 12345) >> 16) % 1000 - 500);
    std::fill(part.begin() + 4800, part.end(), int16_t(0));
    EXPECT_TRUE(holdsRingTone(bytesOf(noisy)));
    EXPECT_TRUE(holdsRingTone(bytesOf(part)));
}
// The wait before a stretch of voice plays: what a listener hears as delay and as gaps.
TEST(SoundTest, ThePlayoutWaitFollowsLateChunksAndPausesGiveBackWhatIsQueuedBeyondIt) {
    // A chunk of `len` ms arrives (0: the queue runs dry) at `at`; may voice play `probe` ms later?
    struct Step { uint64_t at; uint32_t len; uint32_t probe; bool plays; };
    struct Case { const char* what; std::vector<Step> steps; uint32_t wait; } cases[] = {
        {"chunks in time play at once and add no wait",
         {{0, 200, 0, true}, {200, 200, 0, true}, {400, 200, 0, true}}, 0},
        {"a chunk 60 ms late stretches the wait by 60 and its stretch waits that long",
         {{0, 200, 0, true}, {200, 0, 0, false}, {260, 200, 59, false}, {260, 0, 60, true}}, 60},
        {"a talker's pause, dry for half a chunk or more, is not lateness",
         {{0, 200, 0, true}, {200, 0, 0, false}, {300, 200, 0, true}}, 0},
        {"the wait never passes a chunk's length",
         {{0, 120, 0, true}, {120, 0, 0, false}, {179, 120, 59, true}, {300, 0, 0, false},
          {359, 120, 118, true}, {600, 0, 0, false}, {659, 120, 0, false}},
         120},
        {"nor 240 ms, with long chunks",
         {{0, 800, 0, true}, {800, 0, 0, false}, {1190, 800, 239, false}},
         240},
        {"chunks in time take the wait back, 10 ms each",
         {{0, 200, 0, true}, {200, 0, 0, false}, {260, 200, 60, true}, {460, 200, 0, true}, {660, 200, 0, true},
          {860, 200, 0, true}},
         30},
    };
    for (const Case& c : cases) {
        PlayoutBuffer b;
        for (const Step& st : c.steps) {
            if (st.len > 0) playoutArrived(b, 1000 + st.at, st.len);
            else playoutRanDry(b, 1000 + st.at);
            if (st.len > 0 || st.probe > 0) {
                EXPECT_EQ(playoutReleased(b, 1000 + st.at + st.probe), st.plays) << c.what << ", at " << st.at;
            }
        }
        EXPECT_EQ(b.waitMs, c.wait) << c.what;
    }
    // Beyond the wait, quiet frames (q) go from inside runs of three or more, never loud (L) or edges.
    struct Trim {
        const char* frames; uint32_t budgetMs; const char* kept;
    } trims[] = {{"LqqqqL", 1000, "LqqL"}, {"LqqqqL", 20, "LqqqL"}, {"LqqL", 1000, "LqqL"},
                 {"qqqqq", 1000, "qq"},   {"LqLqL", 1000, "LqLqL"}, {"LqqqqL", 0, "LqqqqL"}};
    for (const Trim& t : trims) {
        std::vector<int16_t> samples;
        for (const char* f = t.frames; *f; ++f)
            for (int i = 0; i < 160; ++i) samples.push_back(int16_t(*f == 'L' ? (i % 2 ? 3000 : -3000) : (i % 2 ? 100 : -100)));
        const size_t before = samples.size();
        const uint32_t taken = dropQuietFrames(samples, t.budgetMs);
        std::string kept;
        for (size_t at = 0; at < samples.size(); at += 160) kept += std::abs(samples[at]) > 1000 ? 'L' : 'q';
        EXPECT_EQ(kept, t.kept) << t.frames << " with " << t.budgetMs << " ms to take";
        EXPECT_EQ(taken, (before - samples.size()) / 8) << t.frames;
    }
}
TEST(SoundTest, OutputConversionFitsTheDevice) {
    const Bytes second = bytesOf(voiceSignal(1));
    for (const MixFormat format : {MixFormat{48000, 2, 32, 8, true}, MixFormat{44100, 2, 16, 4, false},
                                   MixFormat{16000, 6, 32, 24, false}, MixFormat{48000, 2, 24, 6, false}}) {
        const Bytes out = convertForOutput(format, second);
        ASSERT_EQ(out.size(), format.rate * format.blockAlign) << format.rate << " Hz";
        const size_t bytes = format.blockAlign / format.channels;
        for (size_t at = 0; at < out.size(); at += 997 * format.blockAlign)
            for (size_t ch = 1; ch < format.channels; ++ch)
                EXPECT_TRUE(std::equal(out.begin() + long(at), out.begin() + long(at + bytes), out.begin() + long(at + ch * bytes)))
                    << "every channel carries the same sound";
    }
    EXPECT_EQ(convertForOutput({8000, 1, 16, 2, false}, second), second) << "8 kHz 16-bit mono: the samples themselves";
    const Bytes f = convertForOutput({8000, 1, 32, 4, true}, bytesOf({-32768, 16384}));
    float v[2];
    std::memcpy(v, f.data(), 8);
    EXPECT_EQ(v[0], -1.0f) << "full scale is 1.0";
    EXPECT_EQ(v[1], 0.5f);
    EXPECT_TRUE(convertForOutput({0, 2, 32, 8, true}, second).empty());
}
struct FileSound {
    test::TempFolder folder{"sound"};
    std::string outWav = folder.path + "/heard.wav", note;
    std::atomic<int> ended{0};
    std::optional<test::Pump> pump;
    explicit FileSound(const std::string& inWav = "") {
        applyConfigDocument(json{{"audio",
                                  {{"backend", "file"}, {"input_wav", inWav}, {"output_wav", outWav}, {"output_rate", 8000},
                                   {"output_channels", 1}, {"output_sample", "s16"}}}});
        EXPECT_TRUE(fileBackend().open(note)) << note;
        setSoundBackend(fileBackend());
        setUiReceiver(UiTarget::Cards, [this](UiMessage m, intptr_t, intptr_t) { ended += m == UiMessage::PlaybackEnded; });
        pump.emplace();
    }
    ~FileSound() {
        pump.reset();
        setUiReceiver(UiTarget::Cards, {});
        releaseOutputs();
        fileBackend().close();
        setSoundBackend(noneBackend());
    }
    // The output file's samples from `from` on, once it holds `count` of them (8 kHz mono).
    std::vector<int16_t> heard(size_t from = 0, size_t count = 0) const {
        for (const auto deadline = steady_clock::now() + std::chrono::seconds(20);; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            const std::string file = test::fileText(outWav);
            const size_t n = file.size() < 44 ? 0 : (file.size() - 44) / 2;
            if (n >= from + count || steady_clock::now() > deadline)
                return n <= from ? std::vector<int16_t>{} : samplesOf(Bytes(file.begin() + long(44 + 2 * from), file.end()));
        }
    }
};
TEST(SoundTest, PauseHoldsTheMessagesClockAndStopSilencesIt) {
    gFakeUnix = 1'800'000'000;
    setClockSource({nullptr, fakeUnix, nullptr});
    FileSound sound;
    ASSERT_EQ(playMessage(gsmEncode(bytesOf(voiceSignal(20)))), "");
    gFakeUnix += 7;
    togglePause();
    EXPECT_TRUE(playbackClock().paused);
    gFakeUnix += 10;
    EXPECT_EQ(playbackSeconds(), 7) << "the clock stops with the pause";
    togglePause();
    gFakeUnix += 1;
    EXPECT_EQ(playbackSeconds(), 8) << "the clock continues from where it paused";
    stopPlayback();
    EXPECT_FALSE(playbackClock().playing);
    const std::vector<int16_t> after = sound.heard(sound.heard().size(), 8000);
    ASSERT_GE(after.size(), 8000u);
    EXPECT_EQ(test::heardTone({after.begin() + 1600, after.end()}).seconds, 0) << "after a stop nothing of the message is heard";
    EXPECT_EQ(sound.ended, 0) << "a stopped message does not report its end";
    resetClockSource();
}
TEST(SoundTest, TheFileMicrophoneAndBadSoundFiles) {
    test::TempFolder folder("wav", false);
    auto put = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(folder.path + "/" + name, std::ios::binary) << bytes;
        return folder.path + "/" + name;
    };
    auto le = [](uint32_t v, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += char(v >> (8 * i));
        return s;
    };
    auto wav = [&](uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, const std::string& data,
                   const std::string& extra = "") {
        std::string fmt = le(tag, 2) + le(channels, 2) + le(rate, 4) + le(rate * channels * bits / 8, 4) +
                          le(channels * bits / 8, 2) + le(bits, 2);
        std::string body = "WAVEfmt " + le(16, 4) + fmt + extra + "data" + le(uint32_t(data.size()), 4) + data;
        return "RIFF" + le(uint32_t(body.size()), 4) + body;
    };
    const std::string zeros(400, '\0');
    const std::pair<std::string, std::string> cases[] = {
        {put("float.wav", wav(3, 1, 8000, 32, zeros)), "The sound file is not 16-bit PCM."},
        {put("short.wav", wav(1, 1, 8000, 16, zeros).substr(0, 30)), "The sound file is cut short."},
        {put("huge.wav", wav(1, 1, 8000, 16, zeros, "LIST" + le(0xFFFFFF00u, 4))), "The sound file is cut short."},
        {put("text.wav", "hello"), "The sound file is not a WAV file."},
        {folder.path + "/missing.wav", "The sound file could not be read."},
    };
    for (const auto& [file, expected] : cases) {
        std::vector<int16_t> out;
        std::string error;
        EXPECT_FALSE(readWavAs8kMono(file, out, error)) << file;
        EXPECT_EQ(error, expected) << file;
    }
    // A bad microphone file is a status line and a silent microphone; a good one is e2e.speech's.
    FileSound bad(cases[0].first);
    EXPECT_EQ(bad.note, "The sound file is not 16-bit PCM.");
    EXPECT_TRUE(fileBackend().startCapture(captureDeliver, ""));
}
}  // namespace
}  // namespace dialo
