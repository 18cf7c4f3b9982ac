#pragma once
// The sound system under the phone: a microphone that delivers 8 kHz 16-bit mono buffers,
// a list of output devices, and render streams in a device's own format. Start-up picks
// one backend from the "audio" configuration: PulseAudio, WAV files, or none.

#include <cstdint>
#include <string>
#include <vector>

namespace dialo {

/// Where an output device sits, numbered as the device list's rules count them.
enum FormFactor : int {
    kFormUnknown = -1,
    kFormSpeakers = 1,
    kFormLineLevel = 2,
    kFormHeadphones = 3,
    kFormMicrophone = 4,
    kFormHeadset = 5,
    kFormHandset = 6,
    kFormDisplayAudio = 9,
};

/// An output or input device as the sound system names it.
struct SinkInfo {
    std::string id;           // stable name; stored as the user's choice
    std::string description;  // the name a user knows it by
    int formFactor = kFormLineLevel;
    bool isDefault = false;   // the sound system's own default of its kind
};

/// A render stream's sample format.
struct MixFormat {
    uint32_t rate = 48000;     // frames per second
    uint32_t channels = 2;
    uint32_t bits = 32;        // per sample
    uint32_t blockAlign = 8;   // bytes per frame
    bool isFloat = true;       // 32-bit IEEE float samples
};

/// An open render stream; what it holds is the backend's own.
struct RenderStream;

/// Receives each captured buffer of 8 kHz mono samples, on the backend's own thread.
using CaptureSink = void (*)(const int16_t* samples, size_t count);

/// Samples of one capture buffer: 40 ms, so that a short live chunk leaves when it is full and
/// not at the next buffer's end.
inline constexpr size_t kCaptureSamples = 320;

/// One backend. Every function is safe to call from any thread.
struct SoundBackend {
    const char* name;
    /// Connects to the sound system; false with a reason when there is none.
    bool (*open)(std::string& error);
    /// Stops capture and disconnects; every render stream must be closed first.
    void (*close)();
    /// Starts delivering `kCaptureSamples` buffers to `sink` until close, from the input device `source`
    /// (empty: the sound system's default), moving to it when capture runs from another; false
    /// when there is no microphone. Asked once, capture comes back by itself after a reconnect.
    bool (*startCapture)(CaptureSink sink, const std::string& source);
    /// Output devices that are present now, in the sound system's order.
    std::vector<SinkInfo> (*listSinks)();
    /// Opens a started stream on the device `id` in the device's own format; null on failure.
    RenderStream* (*openRender)(const std::string& id, MixFormat& format);
    void (*closeRender)(RenderStream* stream);
    /// Frames the stream takes now; -1 when its device went away.
    int64_t (*writableFrames)(RenderStream* stream);
    /// Appends whole frames; false when the device went away.
    bool (*write)(RenderStream* stream, const uint8_t* data, size_t bytes);
    /// Frames written and not yet played out of the device.
    int64_t (*paddingFrames)(RenderStream* stream);
    /// Holds (true) or resumes playing what the stream has.
    void (*setPaused)(RenderStream* stream, bool paused);
    /// Throws away what the stream holds; it stays ready.
    void (*flush)(RenderStream* stream);
    /// Input devices present now, monitors of outputs left out.
    std::vector<SinkInfo> (*listSources)();
    /// False while the sound system has gone away (until `open` reaches it again); no server call.
    bool (*connected)();
    /// Releases the microphone until capture is started again; a reconnect leaves it released.
    void (*stopCapture)();
};

const SoundBackend& pulseBackend();
const SoundBackend& fileBackend();
const SoundBackend& noneBackend();

/// The backend in use; `noneBackend` until start-up installs one.
const SoundBackend& soundBackend();
void setSoundBackend(const SoundBackend& backend);

}  // namespace dialo
