// Sound through WAV files, in real time: the microphone plays the configured input file from
// the moment capture starts (silence after its end), and one output device writes whatever
// reaches it, silence included, so that the output file's timeline is the phone's own.
// As an echo line, the microphone hears what the device played one second earlier.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "audio/backend.h"
#include "audio/wav.h"
#include "base/config.h"

namespace dialo {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTickMs = 20;          // the output device's period
constexpr const char* kDeviceId = "file";
constexpr size_t kEchoDelaySamples = 8000;  // one second

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

struct FileDevice {
    std::mutex mutex;
    std::condition_variable wake;
    bool running = false;
    // Microphone.
    std::vector<int16_t> input;
    bool echo = false;
    bool capturing = false;
    std::deque<int16_t> echoLine;  // played sound on its way back to the microphone
    std::thread captureThread;
    // Output: the device consumes `format.rate` frames a second from `buffer`.
    MixFormat format;
    std::unique_ptr<FILE, FileCloser> out;
    uint64_t bytesOut = 0;
    std::deque<uint8_t> buffer;  // written and not yet played
    RenderStream* stream = nullptr;
    bool paused = false;
    std::thread outputThread;
};

FileDevice gDevice;

void captureLoop(CaptureSink sink) {
    std::unique_lock lock(gDevice.mutex);
    const auto start = Clock::now();
    gDevice.capturing = true;
    gDevice.echoLine.assign(kEchoDelaySamples, 0);
    size_t at = 0;
    for (uint64_t n = 1; gDevice.running; ++n) {
        if (gDevice.wake.wait_until(lock, start + std::chrono::milliseconds(kCaptureSamples / 8 * n), [] { return !gDevice.running; }))
            break;
        std::vector<int16_t> chunk(kCaptureSamples, 0);
        if (gDevice.echo) {
            const size_t take = std::min(kCaptureSamples, gDevice.echoLine.size());
            std::copy_n(gDevice.echoLine.begin(), take, chunk.begin());
            gDevice.echoLine.erase(gDevice.echoLine.begin(), gDevice.echoLine.begin() + long(take));
        }
        for (size_t i = 0; i < kCaptureSamples && at < gDevice.input.size(); ++i) chunk[i] = gDevice.input[at++];
        lock.unlock();
        sink(chunk.data(), chunk.size());
        lock.lock();
    }
}

// Plays out, every tick, the frames that real time has reached: buffered sound first, then
// silence. Sizes in the header are kept current so that the file is readable at any moment.
void outputLoop() {
    std::unique_lock lock(gDevice.mutex);
    const auto start = Clock::now();
    const size_t frameBytes = gDevice.format.blockAlign;
    uint64_t framesDone = 0;
    std::vector<uint8_t> block;
    for (uint64_t n = 1; gDevice.running; ++n) {
        if (gDevice.wake.wait_until(lock, start + std::chrono::milliseconds(kTickMs * n), [] { return !gDevice.running; }))
            break;
        const uint64_t due = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()) *
                             gDevice.format.rate / 1000000;
        const size_t bytes = size_t(due - framesDone) * frameBytes;
        framesDone = due;
        block.assign(bytes, 0);
        if (!gDevice.paused) {
            const size_t take = std::min(bytes, gDevice.buffer.size());
            std::copy_n(gDevice.buffer.begin(), take, block.begin());
            gDevice.buffer.erase(gDevice.buffer.begin(), gDevice.buffer.begin() + take);
        }
        if (gDevice.echo && gDevice.capturing)  // the echo line's device is 8 kHz mono 16-bit
            for (size_t i = 0; i + 1 < block.size(); i += 2)
                gDevice.echoLine.push_back(int16_t(uint16_t(block[i] | block[i + 1] << 8)));
        if (FILE* f = gDevice.out.get()) {
            gDevice.bytesOut += bytes;
            const std::string header = wavHeader(gDevice.format, uint32_t(std::min<uint64_t>(gDevice.bytesOut, UINT32_MAX - 64)));
            std::fseek(f, 0, SEEK_END);
            std::fwrite(block.data(), 1, block.size(), f);
            std::fseek(f, 0, SEEK_SET);
            std::fwrite(header.data(), 1, header.size(), f);
            std::fflush(f);
        }
    }
}

bool fileOpen(std::string& note) {
    const AudioConfig config = audioConfig();
    std::lock_guard lock(gDevice.mutex);
    if (gDevice.running) return true;
    gDevice.input.clear();
    if (!config.inputWav.empty() && !readWavAs8kMono(config.inputWav, gDevice.input, note)) gDevice.input.clear();
    gDevice.echo = config.echo;
    gDevice.capturing = false;
    MixFormat& f = gDevice.format;
    f.rate = config.outputRate, f.channels = config.outputChannels, f.isFloat = config.outputFloat;
    if (gDevice.echo) f.rate = 8000, f.channels = 1, f.isFloat = false;
    f.bits = f.isFloat ? 32 : 16;
    f.blockAlign = f.channels * f.bits / 8;
    if (!config.outputWav.empty()) {
        gDevice.out.reset(std::fopen(config.outputWav.c_str(), "wb"));
        if (!gDevice.out) {
            note = "The sound output file could not be written.";
        } else {
            const std::string header = wavHeader(f, 0);
            std::fwrite(header.data(), 1, header.size(), gDevice.out.get());
        }
    }
    gDevice.bytesOut = 0;
    gDevice.running = true;
    try {
        gDevice.outputThread = std::thread(outputLoop);
    } catch (const std::exception&) {
        gDevice.running = false;
        gDevice.out.reset();
        note = "The sound output could not be started.";
        return false;
    }
    return true;
}

void fileClose() {
    {
        std::lock_guard lock(gDevice.mutex);
        gDevice.running = false;
    }
    gDevice.wake.notify_all();
    if (gDevice.captureThread.joinable()) gDevice.captureThread.join();
    if (gDevice.outputThread.joinable()) gDevice.outputThread.join();
    std::lock_guard lock(gDevice.mutex);
    gDevice.out.reset();
    gDevice.buffer.clear();
}

bool fileCapture(CaptureSink sink, const std::string&) {
    std::lock_guard lock(gDevice.mutex);
    if (!gDevice.running) return false;
    if (gDevice.captureThread.joinable()) return true;
    try {
        gDevice.captureThread = std::thread(captureLoop, sink);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

std::vector<SinkInfo> fileSinks() { return {{kDeviceId, "Speakers (WAV file)", kFormSpeakers}}; }

RenderStream* fileOpenRender(const std::string& id, MixFormat& format) {
    static char theStream;  // the device takes one stream at a time; this marks it
    std::lock_guard lock(gDevice.mutex);
    if (id != kDeviceId || !gDevice.running || gDevice.stream) return nullptr;
    gDevice.stream = reinterpret_cast<RenderStream*>(&theStream);
    gDevice.paused = false;
    format = gDevice.format;
    return gDevice.stream;
}

void fileCloseRender(RenderStream* stream) {
    std::lock_guard lock(gDevice.mutex);
    if (stream != gDevice.stream) return;
    gDevice.stream = nullptr;
    gDevice.buffer.clear();
}

int64_t fileWritable(RenderStream* stream) {
    std::lock_guard lock(gDevice.mutex);
    if (stream != gDevice.stream || !gDevice.running) return -1;
    const int64_t held = int64_t(gDevice.buffer.size() / gDevice.format.blockAlign);
    return std::max<int64_t>(0, int64_t(gDevice.format.rate) - held);  // a one-second buffer
}

bool fileWrite(RenderStream* stream, const uint8_t* data, size_t bytes) {
    std::lock_guard lock(gDevice.mutex);
    if (stream != gDevice.stream || !gDevice.running) return false;
    gDevice.buffer.insert(gDevice.buffer.end(), data, data + bytes);
    return true;
}

int64_t filePadding(RenderStream* stream) {
    std::lock_guard lock(gDevice.mutex);
    if (stream != gDevice.stream) return 0;
    return int64_t(gDevice.buffer.size() / gDevice.format.blockAlign);
}

void fileSetPaused(RenderStream* stream, bool paused) {
    std::lock_guard lock(gDevice.mutex);
    if (stream == gDevice.stream) gDevice.paused = paused;
}

void fileFlush(RenderStream* stream) {
    std::lock_guard lock(gDevice.mutex);
    if (stream == gDevice.stream) gDevice.buffer.clear();
}

std::vector<SinkInfo> fileSources() { return {}; }
bool fileConnected() { return true; }
// The file's input is read out against real time until close: no device is held open.
void fileStopCapture() {}

const SoundBackend kFile{"file",          fileOpen,     fileClose,  fileCapture, fileSinks,     fileOpenRender,
                         fileCloseRender, fileWritable, fileWrite,  filePadding, fileSetPaused, fileFlush,
                         fileSources,     fileConnected, fileStopCapture};

}  // namespace

const SoundBackend& fileBackend() { return kFile; }

}  // namespace dialo
