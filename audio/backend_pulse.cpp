// Sound through PulseAudio (or PipeWire's PulseAudio service): a record stream at 8 kHz from
// the chosen or default source, and render streams opened in their sink's own sample spec. Streams are
// tagged as a phone's, asking the server's echo canceller to keep the far end's voice out of
// the microphone. Every call runs under the threaded main loop's lock.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "audio/backend.h"
#include "base/config.h"

namespace dialo {

namespace {

struct PulseStream {
    pa_stream* stream = nullptr;
    uint32_t blockAlign = 1;
    bool drained = true;  // all written has played; an idle stream costs the server nothing
};

PulseStream* own(RenderStream* r) { return reinterpret_cast<PulseStream*>(r); }

constexpr int kConnectSeconds = 5;
constexpr int kWaitSeconds = 5;  // for any one answer of a server that is up: a stopped one never answers

struct ContextUnref {
    void operator()(pa_context* c) const { pa_context_unref(c); }
};
struct ProplistFree {
    void operator()(pa_proplist* p) const { pa_proplist_free(p); }
};
struct OperationUnref {
    void operator()(pa_operation* o) const {
        if (o) pa_operation_unref(o);
    }
};
using Operation = std::unique_ptr<pa_operation, OperationUnref>;

// One main loop for the process, made by the first open and freed by close; the context in it
// is replaced when the server went away and a later open reaches it again. The open mutex
// serialises open and close; everything else is guarded by the loop lock.
std::mutex gOpenMutex;
// Taken before the loop lock by whoever replaces the record stream or the context under it:
// waits let go of the loop lock, and two rebuilds at once would free each other's stream.
std::mutex gRecordMutex;
std::atomic<pa_threaded_mainloop*> gLoop{nullptr};
std::unique_ptr<pa_context, ContextUnref> gContext;
std::atomic<bool> gUp{false};  // the context is ready; kept by its state callback
pa_stream* gRecord = nullptr;
std::string gRecordSource;  // the source `gRecord` was asked for
CaptureSink gSink = nullptr;  // set once capture was asked for: a reconnect starts it again
std::string gSource;          // the source capture should run from; empty for the default
std::vector<int16_t> gPulseCaptured;  // samples short of a whole buffer

pa_threaded_mainloop* loop() { return gLoop.load(); }

// Holds the loop lock for as long as it lives.
struct LoopLock {
    LoopLock() { pa_threaded_mainloop_lock(loop()); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop()); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;
};

// Loop lock held.
bool connected() { return gContext && pa_context_get_state(gContext.get()) == PA_CONTEXT_READY; }

void signalLoop(void*) { pa_threaded_mainloop_signal(loop(), 0); }
void signalStream(pa_stream*, void*) { signalLoop(nullptr); }

// FAILED or TERMINATED: the server went away (stopped, restarted, or never answered).
void onContextState(pa_context* c, void*) {
    gUp = pa_context_get_state(c) == PA_CONTEXT_READY;
    signalLoop(nullptr);
}

using Deadline = std::chrono::steady_clock::time_point;

Deadline deadlineIn(int seconds) { return std::chrono::steady_clock::now() + std::chrono::seconds(seconds); }

// Loop lock held. Waits until `done` or the deadline; the loop lock is let go meanwhile, so the
// caller must look again at whatever it read before. A timer wakes the wait at the deadline:
// a server that is stopped or hung signals nothing.
template <typename Done>
bool waitFor(Deadline deadline, Done done) {
    if (done()) return true;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop());
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    timeval at;
    pa_gettimeofday(&at);
    pa_timeval_add(&at, pa_usec_t(std::max<int64_t>(0, left.count())));
    pa_time_event* timer =
        api->time_new(api, &at, [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) { signalLoop(nullptr); },
                      nullptr);
    bool met = false;
    for (;;) {
        if (done()) {
            met = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        pa_threaded_mainloop_wait(loop());
    }
    if (timer) api->time_free(timer);
    return met;
}

// Waits (loop lock held) until the operation ends; the server's answer came through its callback.
// One given up on is cancelled, so that a late answer never reaches the caller's stack.
void await(Operation op, Deadline deadline) {
    if (!op) return;
    if (!waitFor(deadline, [&] { return pa_operation_get_state(op.get()) != PA_OPERATION_RUNNING; }))
        pa_operation_cancel(op.get());
}

std::unique_ptr<pa_proplist, ProplistFree> phoneStreamProps() {
    std::unique_ptr<pa_proplist, ProplistFree> p(pa_proplist_new());
    pa_proplist_sets(p.get(), PA_PROP_MEDIA_ROLE, "phone");
    pa_proplist_sets(p.get(), "filter.want", "echo-cancel");
    return p;
}

// Waits (loop lock held) until the stream is ready; false when it failed or the deadline passed.
// The caller holds a reference to `s`.
bool awaitReady(pa_stream* s, Deadline deadline) {
    waitFor(deadline, [s] {
        const pa_stream_state_t st = pa_stream_get_state(s);
        return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
    });
    return pa_stream_get_state(s) == PA_STREAM_READY;
}

// Loop lock held, after a wait: the context that was in use then is still there and ready.
bool stillConnected(const pa_context* before) { return gContext.get() == before && connected(); }

void dropStream(pa_stream*& s) {
    if (!s) return;
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_disconnect(s);
    pa_stream_unref(s);
    s = nullptr;
}

// Loop lock held. Streams of the old context keep it alive until they are dropped.
void dropContext() {
    if (gContext) {
        pa_context_set_state_callback(gContext.get(), nullptr, nullptr);
        pa_context_disconnect(gContext.get());
        gContext.reset();
    }
    gUp = false;
}

void onRecorded(pa_stream* s, size_t, void*) {
    const void* data;
    size_t bytes;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
        const size_t samples = bytes / 2;
        if (data) {
            const auto* in = static_cast<const int16_t*>(data);
            gPulseCaptured.insert(gPulseCaptured.end(), in, in + samples);
        } else {
            gPulseCaptured.insert(gPulseCaptured.end(), samples, 0);  // a hole in the stream is silence
        }
        pa_stream_drop(s);
    }
    size_t at = 0;
    for (; gPulseCaptured.size() - at >= kCaptureSamples; at += kCaptureSamples)
        if (gSink) gSink(gPulseCaptured.data() + at, kCaptureSamples);
    gPulseCaptured.erase(gPulseCaptured.begin(), gPulseCaptured.begin() + long(at));
}

// Record mutex and loop lock held, connected. Opens the record stream on `gSource`; a chosen
// source that is gone falls back to the server's default rather than leaving the phone without
// a microphone.
bool startRecordLocked(Deadline deadline) {
    dropStream(gRecord);
    gPulseCaptured.clear();
    const pa_sample_spec spec{PA_SAMPLE_S16LE, 8000, 1};
    pa_context* const context = gContext.get();
    for (const bool chosen : {true, false}) {
        if (!chosen && gSource.empty()) break;
        if (!stillConnected(context)) return false;
        pa_stream* s = pa_stream_new_with_proplist(context, "Microphone", &spec, nullptr, phoneStreamProps().get());
        if (!s) return false;
        gRecord = s;
        pa_stream_set_state_callback(s, signalStream, nullptr);
        pa_stream_set_read_callback(s, onRecorded, nullptr);
        pa_buffer_attr attr{};
        attr.maxlength = uint32_t(-1);
        attr.fragsize = kCaptureSamples * 2;
        const char* device = chosen && !gSource.empty() ? gSource.c_str() : nullptr;
        // Ours while waiting, whatever happens to `gRecord` meanwhile.
        pa_stream_ref(s);
        const bool ready = pa_stream_connect_record(s, device, &attr, PA_STREAM_ADJUST_LATENCY) == 0 &&
                           awaitReady(s, deadline);
        const bool current = gRecord == s && gContext.get() == context;
        if (ready && current && connected()) {
            pa_stream_unref(s);
            gRecordSource = gSource;
            return true;
        }
        if (gRecord == s) dropStream(gRecord);
        pa_stream_unref(s);
        if (!current) return false;
    }
    return false;
}

int formFactorOf(const char* value) {
    if (!value) return kFormLineLevel;
    const std::string v = value;
    for (const char* s : {"speaker", "internal", "hifi", "computer", "portable", "car"})
        if (v == s) return kFormSpeakers;
    if (v == "headphone") return kFormHeadphones;
    if (v == "headset" || v == "hands-free") return kFormHeadset;
    if (v == "handset") return kFormHandset;
    if (v == "microphone" || v == "webcam") return kFormMicrophone;
    if (v == "tv") return kFormDisplayAudio;
    return kFormUnknown;
}

bool pulseOpen(std::string& error) {
    std::lock_guard guard(gOpenMutex);
    std::lock_guard record(gRecordMutex);
    if (!loop()) {
        pa_threaded_mainloop* made = pa_threaded_mainloop_new();
        if (!made) return error = "The sound server could not be reached.", false;
        if (pa_threaded_mainloop_start(made) != 0) {
            pa_threaded_mainloop_free(made);
            return error = "The sound server could not be reached.", false;
        }
        gLoop = made;
    }
    LoopLock lock;
    if (connected()) return true;
    // The record stream of a server that went away is dead; the one asked for is remembered.
    dropStream(gRecord);
    dropContext();
    std::unique_ptr<pa_proplist, ProplistFree> props(pa_proplist_new());
    if (!props) return error = "The sound server could not be reached.", false;
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, "Dialo");
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ID, "dialo");
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ICON_NAME, "dialo");
    gContext.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop()), "Dialo", props.get()));
    if (!gContext) return error = "The sound server could not be reached.", false;
    pa_context_set_state_callback(gContext.get(), onContextState, nullptr);
    const std::string server = audioConfig().server;
    bool ready = false;
    // Never start a server of our own: a desktop without one has no sound for us. The waits
    // below let go of the loop lock, so other callers answer "no sound" meanwhile.
    // A server that accepts and never answers must not hold the watcher (and so shutdown): the
    // connect and the microphone's restart share one deadline.
    const Deadline deadline = deadlineIn(kConnectSeconds);
    if (pa_context_connect(gContext.get(), server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) == 0) {
        pa_context* const context = gContext.get();
        waitFor(deadline, [context] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
                                             pa_context_get_state(context) == PA_CONTEXT_READY; });
        ready = pa_context_get_state(context) == PA_CONTEXT_READY;
    }
    if (!ready) {
        dropContext();
        return error = "No sound server is running; this phone has no sound.", false;
    }
    gUp = true;
    if (gSink) (void)startRecordLocked(deadline);  // the microphone comes back with its server
    return true;
}

void pulseClose() {
    std::lock_guard guard(gOpenMutex);
    pa_threaded_mainloop* l = loop();
    if (!l) return;
    {
        std::lock_guard record(gRecordMutex);
        LoopLock lock;
        dropStream(gRecord);
        dropContext();
        gSink = nullptr;
        gSource.clear();
        gPulseCaptured.clear();
    }
    pa_threaded_mainloop_stop(l);
    gLoop = nullptr;
    pa_threaded_mainloop_free(l);
}

bool pulseConnected() { return gUp.load(); }

bool pulseCapture(CaptureSink sink, const std::string& source) {
    if (!loop()) return false;
    std::lock_guard record(gRecordMutex);
    LoopLock lock;
    gSink = sink;
    gSource = source;
    if (!connected()) return false;
    if (gRecord && pa_stream_get_state(gRecord) == PA_STREAM_READY && gRecordSource == source) return true;
    return startRecordLocked(deadlineIn(kWaitSeconds));
}

void pulseStopCapture() {
    if (!loop()) return;
    std::lock_guard record(gRecordMutex);
    LoopLock lock;
    dropStream(gRecord);
    gSink = nullptr;  // nor does a reconnect take it up again
    gPulseCaptured.clear();
}

// The server's default sink and source names (loop lock held, connected).
struct Defaults {
    std::string sink, source;
};

void collectDefaults(pa_context*, const pa_server_info* info, void* out) {
    if (info) {
        auto* d = static_cast<Defaults*>(out);
        d->sink = info->default_sink_name ? info->default_sink_name : "";
        d->source = info->default_source_name ? info->default_source_name : "";
    }
    signalLoop(nullptr);
}

Defaults serverDefaults(Deadline deadline) {
    Defaults d;
    await(Operation(pa_context_get_server_info(gContext.get(), collectDefaults, &d)), deadline);
    return d;
}

void collectSink(pa_context*, const pa_sink_info* info, int eol, void* out) {
    if (eol || !info) return signalLoop(nullptr);
    const char* description = info->description ? info->description : "";
    static_cast<std::vector<SinkInfo>*>(out)->push_back(
        {info->name, description, formFactorOf(pa_proplist_gets(info->proplist, PA_PROP_DEVICE_FORM_FACTOR))});
}

std::vector<SinkInfo> pulseSinks() {
    std::vector<SinkInfo> sinks;
    if (!loop()) return sinks;
    LoopLock lock;
    if (!connected()) return sinks;
    pa_context* const context = gContext.get();
    const Deadline deadline = deadlineIn(kWaitSeconds);
    await(Operation(pa_context_get_sink_info_list(context, collectSink, &sinks)), deadline);
    if (!stillConnected(context)) return {};
    const std::string chosen = serverDefaults(deadline).sink;
    for (SinkInfo& s : sinks) s.isDefault = s.id == chosen;
    return sinks;
}

void collectSource(pa_context*, const pa_source_info* info, int eol, void* out) {
    if (eol || !info) return signalLoop(nullptr);
    if (info->monitor_of_sink != PA_INVALID_INDEX) return;  // hears the phone's own output
    const char* description = info->description ? info->description : "";
    static_cast<std::vector<SinkInfo>*>(out)->push_back(
        {info->name, description, formFactorOf(pa_proplist_gets(info->proplist, PA_PROP_DEVICE_FORM_FACTOR))});
}

std::vector<SinkInfo> pulseSources() {
    std::vector<SinkInfo> sources;
    if (!loop()) return sources;
    LoopLock lock;
    if (!connected()) return sources;
    pa_context* const context = gContext.get();
    const Deadline deadline = deadlineIn(kWaitSeconds);
    await(Operation(pa_context_get_source_info_list(context, collectSource, &sources)), deadline);
    if (!stillConnected(context)) return {};
    const std::string chosen = serverDefaults(deadline).source;
    for (SinkInfo& s : sources) s.isDefault = s.id == chosen;
    return sources;
}

void sinkSpec(pa_context*, const pa_sink_info* info, int eol, void* out) {
    if (eol || !info) return signalLoop(nullptr);
    *static_cast<pa_sample_spec*>(out) = info->sample_spec;
}

RenderStream* pulseOpenRender(const std::string& id, MixFormat& format) {
    if (!loop()) return nullptr;
    LoopLock lock;
    if (!connected()) return nullptr;
    pa_sample_spec spec{PA_SAMPLE_INVALID, 0, 0};
    pa_context* const context = gContext.get();
    const Deadline deadline = deadlineIn(kWaitSeconds);
    await(Operation(pa_context_get_sink_info_by_name(context, id.c_str(), sinkSpec, &spec)), deadline);
    if (!stillConnected(context) || !pa_sample_spec_valid(&spec)) return nullptr;
    // The sink's own rate and channels; its sample type when we can write it, float otherwise.
    if (spec.format != PA_SAMPLE_S16LE && spec.format != PA_SAMPLE_S32LE && spec.format != PA_SAMPLE_S24LE)
        spec.format = PA_SAMPLE_FLOAT32LE;
    auto rs = std::make_unique<PulseStream>();
    rs->stream = pa_stream_new_with_proplist(context, "Phone", &spec, nullptr, phoneStreamProps().get());
    if (!rs->stream) return nullptr;
    pa_stream_set_state_callback(rs->stream, signalStream, nullptr);
    rs->blockAlign = uint32_t(pa_frame_size(&spec));
    // 200 ms between what is written and what is heard: the pump, every 20 ms, keeps it fed
    // from its one-second chunks. Playback starts with the first frame written, and after
    // running dry waits for the next instead of letting the read position run ahead.
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.tlength = spec.rate / 5 * rs->blockAlign;
    attr.prebuf = rs->blockAlign;
    attr.minreq = uint32_t(-1);
    // Movable: a user may send the phone to another device in the desktop's mixer, and a sink
    // that goes away has the server move the stream rather than end it.
    const auto flags = pa_stream_flags_t(PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(rs->stream, id.c_str(), &attr, flags, nullptr, nullptr) != 0 ||
        !awaitReady(rs->stream, deadline) || !stillConnected(context)) {
        dropStream(rs->stream);
        return nullptr;
    }
    format.rate = spec.rate;
    format.channels = spec.channels;
    format.blockAlign = rs->blockAlign;
    format.bits = rs->blockAlign / spec.channels * 8;
    format.isFloat = spec.format == PA_SAMPLE_FLOAT32LE;
    return reinterpret_cast<RenderStream*>(rs.release());
}

void pulseCloseRender(RenderStream* r) {
    PulseStream* rs = own(r);
    if (!rs) return;
    if (loop()) {
        LoopLock lock;
        dropStream(rs->stream);
    }
    delete rs;
}

bool streamReady(PulseStream* rs) {
    return rs && rs->stream && connected() && pa_stream_get_state(rs->stream) == PA_STREAM_READY;
}

int64_t pulseWritable(RenderStream* r) {
    PulseStream* rs = own(r);
    if (!loop()) return -1;
    LoopLock lock;
    if (!streamReady(rs)) return -1;
    const size_t bytes = pa_stream_writable_size(rs->stream);
    return bytes == size_t(-1) ? -1 : int64_t(bytes / rs->blockAlign);
}

bool pulseWrite(RenderStream* r, const uint8_t* data, size_t bytes) {
    PulseStream* rs = own(r);
    if (!loop()) return false;
    LoopLock lock;
    if (!streamReady(rs) || pa_stream_write(rs->stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) != 0) return false;
    rs->drained = false;
    return true;
}

// Frames between the write and the read position, from timing the server sent; a fresh report
// is asked for each time, so the end of a sound is seen within a round or two.
int64_t pulsePadding(RenderStream* r) {
    PulseStream* rs = own(r);
    if (!loop()) return 0;
    LoopLock lock;
    if (!streamReady(rs) || rs->drained) return 0;
    Operation(pa_stream_update_timing_info(rs->stream, nullptr, nullptr));
    const pa_timing_info* t = pa_stream_get_timing_info(rs->stream);
    if (!t || t->write_index_corrupt || t->read_index_corrupt) return 1;
    const int64_t frames = std::max<int64_t>(0, (t->write_index - t->read_index) / int64_t(rs->blockAlign));
    rs->drained = frames == 0;
    return frames;
}

void pulseSetPaused(RenderStream* r, bool paused) {
    PulseStream* rs = own(r);
    if (!loop()) return;
    LoopLock lock;
    if (streamReady(rs)) Operation(pa_stream_cork(rs->stream, paused ? 1 : 0, nullptr, nullptr));
}

void pulseFlush(RenderStream* r) {
    PulseStream* rs = own(r);
    if (!loop()) return;
    LoopLock lock;
    if (streamReady(rs)) Operation(pa_stream_flush(rs->stream, nullptr, nullptr));
}

const SoundBackend kPulse{"pulse",          pulseOpen,     pulseClose, pulseCapture, pulseSinks,     pulseOpenRender,
                          pulseCloseRender, pulseWritable, pulseWrite, pulsePadding, pulseSetPaused, pulseFlush,
                          pulseSources,     pulseConnected, pulseStopCapture};

}  // namespace

const SoundBackend& pulseBackend() { return kPulse; }

}  // namespace dialo
