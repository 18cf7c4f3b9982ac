// What the phone's sound costs: GSM 6.10 encoding and decoding as multiples of real time, with
// libgsm called directly as the anchor; the CPU share of the 20 ms playback pump while idle and
// while playing; and the time from queueing a sound to its first frame read back from the
// device's monitor. Runs on a PulseAudio daemon of its own with one null sink. Informational
// only: nothing here fails on a figure.
//
//   dialo_sound_bench [--seconds=10] [--trials=50]

#include <utility>
#include <gsm.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/backend.h"
#include "audio/gsm.h"
#include "audio/pcm.h"
#include "audio/playback.h"
#include "base/config.h"
#include "support/pulse_daemon.h"

namespace {

using namespace dialo;
using test::Clock;
using namespace std::chrono_literals;

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A voice-like test signal: two tones under a slow swell, as the codec's tests use.
std::vector<int16_t> speechLike(double seconds) {
    std::vector<int16_t> x(size_t(seconds * 8000));
    for (size_t i = 0; i < x.size(); ++i) {
        const double t = double(i) / 8000;
        x[i] = int16_t((0.5 + 0.5 * std::sin(2 * M_PI * 3 * t)) *
                       (6000 * std::sin(2 * M_PI * 220 * t) + 3000 * std::sin(2 * M_PI * 1370 * t)));
    }
    return x;
}

// Runs `work` (which handles `audioSeconds` of sound) until a second of CPU has gone; the
// multiple of real time it reaches.
template <typename Work>
double realTimeMultiple(double audioSeconds, Work work) {
    work();  // warm caches and the codec's state
    const double start = threadCpuSeconds();
    int rounds = 0;
    do {
        work();
        ++rounds;
    } while (threadCpuSeconds() - start < 1.0);
    return audioSeconds * rounds / (threadCpuSeconds() - start);
}

struct GsmFree {
    void operator()(gsm g) const { gsm_destroy(g); }
};
std::unique_ptr<gsm_state, GsmFree> wav49() {
    std::unique_ptr<gsm_state, GsmFree> g(gsm_create());
    int on = 1;
    gsm_option(g.get(), GSM_OPT_WAV49, &on);
    return g;
}

void gsmFigures() {
    const double seconds = 10;
    const std::vector<int16_t> voice = speechLike(seconds);
    const Bytes pcm = bytesOf(voice);
    std::vector<Bytes> perSecond;
    for (size_t at = 0; at < pcm.size(); at += kPcmSecondBytes)
        perSecond.emplace_back(pcm.begin() + long(at), pcm.begin() + long(at + kPcmSecondBytes));
    Bytes coded;
    for (const Bytes& s : perSecond) {
        const Bytes g = gsmEncode(s, coded.empty());
        coded.insert(coded.end(), g.begin(), g.end());
    }

    // As the recorder calls it: a second at a time.
    const double ourEncode = realTimeMultiple(seconds, [&] {
        bool first = true;
        for (const Bytes& s : perSecond) (void)gsmEncode(s, std::exchange(first, false));
    });
    const double ourDecode = realTimeMultiple(seconds, [&] { (void)gsmDecode(coded); });

    std::vector<uint8_t> raw(coded.begin(), coded.end());
    const size_t blocks = raw.size() / kGsmBlockBytes;
    const double rawEncode = realTimeMultiple(seconds, [&] {
        auto g = wav49();
        gsm_signal frame[160];
        for (size_t b = 0; b < blocks; ++b)
            for (size_t half = 0; half < 2; ++half) {
                std::copy_n(voice.data() + b * 320 + half * 160, 160, frame);
                gsm_encode(g.get(), frame, raw.data() + b * kGsmBlockBytes + half * 32);
            }
    });
    const double rawDecode = realTimeMultiple(seconds, [&] {
        auto g = wav49();
        gsm_signal frame[160];
        for (size_t b = 0; b < blocks; ++b) {
            gsm_decode(g.get(), raw.data() + b * kGsmBlockBytes, frame);
            gsm_decode(g.get(), raw.data() + b * kGsmBlockBytes + 33, frame);
        }
    });
    std::printf("GSM 6.10 (65-byte blocks), multiples of real time on one core:\n");
    std::printf("  encode  dialo %8.0fx   libgsm alone %8.0fx\n", ourEncode, rawEncode);
    std::printf("  decode  dialo %8.0fx   libgsm alone %8.0fx\n", ourDecode, rawDecode);
}

struct PumpCost {
    double thread = 0, process = 0;  // per cent of a core
};

// A thread calling playbackStep every 20 ms, as the phone's pump does, for `seconds`.
PumpCost pumpFor(double seconds) {
    PumpCost cost;
    const double processStart = processCpuSeconds();
    const Clock::time_point wallStart = Clock::now();
    std::thread pump([&] {
        const double start = threadCpuSeconds();
        const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(seconds));
        while (Clock::now() < end) {
            playbackStep();
            std::this_thread::sleep_for(20ms);
        }
        cost.thread = 100 * (threadCpuSeconds() - start) / seconds;
    });
    pump.join();
    cost.process = 100 * (processCpuSeconds() - processStart) / secondsSince(wallStart);
    return cost;
}

void pumpFigures(double seconds) {
    std::printf("\nplayback pump, %.0f s each, CPU as %% of one core (pump thread; whole process):\n", seconds);
    releaseOutputs();
    PumpCost c = pumpFor(seconds);
    std::printf("  idle, no stream open       %6.3f%%  %6.3f%%\n", c.thread, c.process);
    if (!outputAvailable()) return (void)std::printf("  (the null sink could not be opened)\n");
    c = pumpFor(seconds);
    std::printf("  idle, stream open          %6.3f%%  %6.3f%%\n", c.thread, c.process);
    for (int s = 0; s < int(seconds) + 1; ++s) enqueuePcm(test::sineTone(1000, 10000, 1.0));
    c = pumpFor(seconds);
    std::printf("  playing 8 kHz to the sink  %6.3f%%  %6.3f%%\n", c.thread, c.process);
    stopPlayback();
}

void latencyFigures(test::PulseDaemon& daemon, int trials) {
    test::MonitorRecorder monitor;
    std::string error;
    if (!monitor.start(daemon.server(), "spk.monitor", error)) return (void)std::printf("latency: %s\n", error.c_str());
    test::Pump pump;
    // A null sink idles on a two-second render-ahead; one sound first brings it to short blocks.
    enqueuePcm(test::sineTone(1000, 10000, 0.3));
    if (!monitor.waitFor([](const auto& x) { return test::toneEnded(x); }, Clock::now() + 20s))
        return (void)std::printf("latency: the warm-up sound never came back from the monitor\n");
    std::vector<double> ms;
    for (int t = 0; t < trials; ++t) {
        const size_t from = monitor.samples().size();
        const auto fresh = [from](const std::vector<int16_t>& x) {
            return std::vector<int16_t>(x.begin() + long(std::min(from, x.size())), x.end());
        };
        const Clock::time_point queued = Clock::now();
        enqueuePcm(test::sineTone(1000, 10000, 0.1));
        const bool heard = monitor.waitFor([&](const auto& x) { return test::loudSpan(fresh(x)).found; },
                                           Clock::now() + 10s);
        if (!heard) {
            std::printf("latency: trial %d was never heard\n", t);
            continue;
        }
        const test::ToneFound span = test::loudSpan(fresh(monitor.samples()));
        ms.push_back(std::chrono::duration<double, std::milli>(monitor.arrivalOf(from + span.first) - queued).count());
        monitor.waitFor([&](const auto& x) { return test::toneEnded(fresh(x), 800); }, Clock::now() + 10s);
        // A random phase against the pump's 20 ms rounds.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::rand() % 20));
    }
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
    std::printf("\nenqueuePcm to the first frame read back from the sink's monitor, %zu trials:\n", ms.size());
    std::printf("  median %.1f ms   p95 %.1f ms   min %.1f ms   max %.1f ms\n", at(0.5), at(0.95), ms.front(), ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    int trials = 50;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--seconds=", 0) == 0) seconds = std::atof(a.c_str() + 10);
        else if (a.rfind("--trials=", 0) == 0) trials = std::atoi(a.c_str() + 9);
        else return std::fprintf(stderr, "usage: dialo_sound_bench [--seconds=10] [--trials=50]\n"), 2;
    }
    std::printf("%u CPUs\n\n", std::thread::hardware_concurrency());
    gsmFigures();

    test::PulseDaemon daemon;
    std::string error;
    if (!daemon.start({{"spk", "Speakers (Bench)", "speaker"}}, error))
        return std::fprintf(stderr, "sound bench: %s\n", error.c_str()), 1;
    applyConfigDocument(nlohmann::json{{"audio", {{"backend", "pulse"}, {"server", daemon.server()}}}});
    if (!pulseBackend().open(error)) return std::fprintf(stderr, "sound bench: %s\n", error.c_str()), 1;
    setSoundBackend(pulseBackend());
    pumpFigures(seconds);
    latencyFigures(daemon, trials);
    releaseOutputs();
    soundBackend().close();
    setSoundBackend(noneBackend());
    return 0;
}
