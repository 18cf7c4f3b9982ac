// The phone's sound against a real PulseAudio daemon of the test's own: which devices a user
// is offered and which one sounds, what reaches a device and what the microphone hears, a
// device unplugged mid-message, and the notice that a message has finished.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <map>
#include <optional>
#include <sstream>
#include <cctype>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "audio/capture.h"
#include "audio/devices.h"
#include "audio/gsm.h"
#include "audio/pcm.h"
#include "audio/sound_watch.h"
#include "audio/wav.h"
#include "state/ui_bridge.h"
#include "tools/phone/sound.h"
#include "support/pulse_daemon.h"
#include "support/temp_folder.h"
#include "audio/backend.h"
#include "audio/playback.h"
#include "base/config.h"
#include "platform/files.h"
#include "state/phone_state.h"
#include "store/phone_store.h"

namespace dialo {
namespace {

using nlohmann::json;
using test::Clock;
using test::NullSink;
using namespace std::chrono_literals;

// The phone on a private daemon, its pulse backend opened and installed as start-up would.
class PulseTest : public ::testing::Test {
protected:
    /// Starts the daemon with `sinks` and the phone on it; use under ASSERT_NO_FATAL_FAILURE.
    void startPulse(const std::vector<NullSink>& sinks) {
        std::string error;
        ASSERT_TRUE(daemon_.start(sinks, error)) << error;
        // The shared file names the daemon, so that reading the settings again keeps it.
        const nlohmann::json doc = {{"audio", {{"backend", "pulse"}, {"server", daemon_.server()}}}};
        ASSERT_TRUE(writeFileAtomic(shared_store_path(), doc.dump()));
        phoneFlags().volume = 100;  // the file names none; an earlier test in this process may have
        load_settings();
        ASSERT_EQ(audioConfig().server, daemon_.server());
        ASSERT_TRUE(pulseBackend().open(error)) << error << "\n" << daemon_.logText();
        setSoundBackend(pulseBackend());
        opened_ = true;
        setOutputId(lockPhone().state.settings.output);
    }

    void TearDown() override {
        if (opened_) {
            releaseOutputs();
            soundBackend().close();
            setSoundBackend(noneBackend());
        }
        daemon_.stop();
    }

    void loadSink(const NullSink& sink) {
        std::string error;
        ASSERT_TRUE(daemon_.loadSink(sink, error)) << error;
    }
    void unloadSink(const std::string& name) {
        std::string error;
        ASSERT_TRUE(daemon_.unloadSink(name, error)) << error;
    }
    void pactl(const std::vector<std::string>& args) {
        const test::ProgramResult r = daemon_.pactl(args);
        ASSERT_EQ(r.status, 0) << "pactl failed: " << r.output;
    }

    /// A recorder of `sink`'s monitor, recording from now on.
    std::unique_ptr<test::MonitorRecorder> record(const std::string& sink) {
        auto r = std::make_unique<test::MonitorRecorder>();
        std::string error;
        EXPECT_TRUE(r->start(daemon_.server(), sink + ".monitor", error)) << error;
        return r;
    }

    test::TempFolder data_{"pulse"};
    test::PulseDaemon daemon_;
    bool opened_ = false;
};

struct Listed {
    std::string id, name;
    bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Listed& l) { return os << l.id << "=\"" << l.name << "\""; }

// What `dialo-phone devices` prints: the devices offered and the one chosen.
json devicesCommand() {
    json out;
    EXPECT_TRUE(soundCommand("devices", "", [&](const json& line) { out = line; }));
    return out;
}

std::vector<Listed> listedOf(const json& devices) {
    std::vector<Listed> out;
    for (const json& d : devices["devices"]) out.push_back({d["id"], d["name"]});
    return out;
}

std::string chosenOf(const json& devices) {
    for (const json& d : devices["devices"])
        if (d["chosen"] == true) return d["id"];
    return "";
}

TEST_F(PulseTest, DevicesAreOfferedUnderKnownNamesAndTheRightOneIsChosen) {
    ASSERT_NO_FATAL_FAILURE(startPulse({}));
    struct Case {
        const char* what;
        std::vector<NullSink> sinks;
        std::string defaultSink;  // the server's default
        std::string stored;
        std::vector<Listed> listed;  // as the menu shows them
        std::string chosen;
        size_t offered = 0;  // devices acceptable in all; 0: as many as listed
    };
    const std::vector<NullSink> twoOut = {{"ext", "Speakers (USB Audio)", "speaker"}, {"main", "Main Speaker (Dock)", "speaker"}};
    std::vector<NullSink> withNvidia = twoOut;
    withNvidia.push_back({"nvd", "NVIDIA HDMI", "speaker"});
    const std::vector<Listed> twoListed = {{"ext", "Speakers"}, {"main", "Main Speaker"}};
    std::vector<Case> cases = {
        {"names a user knows; what is no loudspeaker is left out",
         {{"hda", "Speakers (Realtek High Definition Audio)", "speaker"}, {"usb", "Headphones (USB Audio)", "headphone"},
          {"nv1", "NVIDIA High Definition Audio", "speaker"}, {"nv2", "HDMI Output (nVidia GP107)", "speaker"},
          {"spdif", "Digital Output (S/PDIF)", "speaker"}, {"mic", "Internal Microphone", "microphone"},
          {"cam", "HD Webcam C270", "webcam"}, {"tv", "Display Audio (LG Ultra HD)", "tv"},
          {"bare", " (Generic Output)", "speaker"}, {"line", "Line Out", ""}},
         "hda", "", {{"hda", "Speakers"}, {"usb", "Headphones"}, {"bare", " (Generic Output)"}, {"line", "Line Out"}}, "hda"},
        {"of two equal names the first shows its full name",
         {{"spkx", "Speakers (X)", "speaker"}, {"spky", "Speakers (Y)", "speaker"}},
         "spkx", "", {{"spkx", "Speakers (X)"}, {"spky", "Speakers"}}, "spkx"},
        {"the server's default is chosen when nothing is stored", twoOut, "ext", "", twoListed, "ext"},
        {"a main speaker is chosen when the default is not offered", withNvidia, "nvd", "", twoListed, "main"},
        {"a stored choice wins over the default", twoOut, "main", "ext", twoListed, "ext"},
        {"a stored choice that is gone falls back to the default", {{"a", "Headset (BT)", "headset"}, {"b", "Handset", "handset"}},
         "b", "gone", {{"a", "Headset"}, {"b", "Handset"}}, "b"},
    };
    // 25 acceptable devices among rejected ones: the menu offers the first 20.
    Case many{"the menu offers 20 of 25", {{"nvx", "NVIDIA HDMI", "speaker"}}, "nvx", "", {}, "out01", 25};
    for (int i = 1; i <= 25; ++i) {
        const std::string n = (i < 10 ? "0" : "") + std::to_string(i);
        many.sinks.push_back({"out" + n, "Output " + n + " (Card " + n + ")", i % 2 ? "speaker" : ""});
        if (i <= 20) many.listed.push_back({"out" + n, "Output " + n});
    }
    many.sinks.push_back({"camx", "Webcam", "webcam"});
    cases.push_back(many);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const NullSink& s : c.sinks) ASSERT_NO_FATAL_FAILURE(loadSink(s));
        ASSERT_NO_FATAL_FAILURE(pactl({"set-default-sink", c.defaultSink}));
        setOutputId(c.stored);
        const json devices = devicesCommand();
        EXPECT_EQ(listedOf(devices), c.listed);
        EXPECT_EQ(chosenOf(devices), c.chosen);
        const std::vector<OutputDeviceInfo> all = listOutputDevices();
        EXPECT_EQ(all.size(), c.offered ? c.offered : c.listed.size());
        for (const OutputDeviceInfo& d : all)
            for (const NullSink& s : c.sinks)
                if (d.id == s.name) {
                    EXPECT_EQ(d.fullName, s.description);
                }
        for (const NullSink& s : c.sinks) ASSERT_NO_FATAL_FAILURE(unloadSink(s.name));
    }
    EXPECT_TRUE(listOutputDevices().empty());
    EXPECT_EQ(outputLabel(), "Output: none");
}

// `seconds` of a 1 kHz tone for a device's monitor to show.
std::vector<int16_t> tone(double amplitude, double seconds, double hz = 1000) {
    return test::sineTone(hz, amplitude, seconds);
}

// A peer's message of a 1 kHz tone, encoded from a fresh state as its recorder does.
Bytes messageOf(double seconds) {
    return gsmEncode(bytesOf(tone(10000, seconds)), true);
}

// Waits until `recorder` holds a tone and silence after it, and measures it.
test::ToneFound recordedTone(const test::MonitorRecorder& recorder, Clock::duration limit = 20s) {
    EXPECT_TRUE(recorder.waitFor([](const auto& x) { return test::toneEnded(x); }, Clock::now() + limit))
        << "no tone followed by silence was recorded";
    return test::findTone(recorder.samples());
}

// A tone's pitch from its periods and its length from its loud 20 ms frames: a busy machine
// may leave gaps in what the device plays, which must not read as a lower pitch or a longer
// sound.
struct Heard {
    double hz = 0, seconds = 0;
};
Heard heardTone(const std::vector<int16_t>& x) {
    Heard h;
    for (size_t at = 0; at + 160 <= x.size(); at += 160)
        h.seconds += std::any_of(x.begin() + long(at), x.begin() + long(at + 160), [](int16_t v) { return std::abs(v) > 1000; }) ? 0.02 : 0;
    double last = -1, periods = 0;
    int counted = 0;
    for (size_t i = 0; i + 1 < x.size(); ++i)
        if (x[i] < 0 && x[i + 1] >= 0) {
            const double at = double(i) + double(-x[i]) / double(x[i + 1] - x[i]);
            if (last >= 0 && at - last < 80) periods += at - last, ++counted;  // not across a gap
            last = at;
        }
    if (counted > 0) h.hz = 8000 * counted / periods;
    return h;
}

TEST_F(PulseTest, ChosenOutputIsStoredOutlivesARestartAndGetsTheSound) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"hda", "Speakers (Realtek High Definition Audio)", "speaker"},
                                        {"usb", "Headphones (USB Audio)", "headphone"},
                                        {"nv", "NVIDIA High Definition Audio", "speaker"}}));
    ASSERT_NO_FATAL_FAILURE(pactl({"set-default-sink", "hda"}));
    EXPECT_EQ(outputLabel(), "Output: Speakers");
    EXPECT_FALSE(chooseOutput("nv")) << "a device that is not offered cannot be chosen";
    EXPECT_FALSE(chooseOutput("nothing"));
    ASSERT_TRUE(chooseOutput("usb"));
    std::string text;
    ASSERT_TRUE(readWholeFile(shared_store_path(), text));
    EXPECT_EQ(json::parse(text).value("output", ""), "usb");

    // A restart: nothing in memory, the store read again and its choice handed to the pump.
    setOutputId("");
    lockPhone().state.settings.output.clear();
    EXPECT_EQ(outputLabel(), "Output: Speakers");
    load_settings();
    setOutputId(lockPhone().state.settings.output);
    EXPECT_EQ(outputLabel(), "Output: Headphones");
    EXPECT_EQ(chosenOf(devicesCommand()), "usb");

    auto usb = record("usb"), hda = record("hda");
    test::Pump pump;
    ASSERT_TRUE(outputAvailable());
    enqueuePcm(tone(8000, 0.5));
    EXPECT_TRUE(recordedTone(*usb).found);
    EXPECT_NEAR(heardTone(usb->samples()).hz, 1000, 20);
    EXPECT_FALSE(test::loudSpan(hda->samples()).found) << "the speakers played what was meant for the headphones";
}

TEST_F(PulseTest, ToneKeepsItsFrequencyAndFollowsTheVolume) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"spk", "Speakers (Realtek)", "speaker"}}));
    ASSERT_TRUE(outputAvailable());
    test::Pump pump;
    // Linear interpolation up to the device's rate passes 1 kHz at sinc²(1/8) of its level.
    const double gain = std::pow(std::sin(M_PI / 8) / (M_PI / 8), 2);
    struct Case {
        int volume;
        double amplitude;  // of the tone queued
    };
    for (const Case c : {Case{50, 12000}, Case{100, 12000}, Case{200, 12000}, Case{200, 24000}}) {
        SCOPED_TRACE("volume " + std::to_string(c.volume) + ", amplitude " + std::to_string(int(c.amplitude)));
        auto spk = record("spk");
        phoneFlags().volume = c.volume;
        enqueuePcm(tone(c.amplitude, 1.0));
        const test::ToneFound t = recordedTone(*spk);
        ASSERT_TRUE(t.found);
        EXPECT_NEAR(t.hz, 1000, 5);
        EXPECT_NEAR(double(t.last - t.first), 8000, 400) << "the whole second, once";
        const double wanted = c.amplitude * c.volume / 100;
        if (wanted < 32767) {
            EXPECT_NEAR(t.amplitude, wanted * gain, wanted * 0.03);
        } else {
            EXPECT_GE(t.peak, 32000) << "a tone over full scale clips at full scale";
            EXPECT_GT(t.amplitude, 32767 * gain);
            EXPECT_LT(t.amplitude, wanted * gain * 0.9) << "clipped, not the whole of it";
        }
    }
}

TEST_F(PulseTest, MicrophoneHearsTheSink) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"spk", "Speakers (Realtek)", "speaker"}}));
    ASSERT_NO_FATAL_FAILURE(pactl({"set-default-source", "spk.monitor"}));
    ASSERT_TRUE(startCapture());
    const std::string wav = data_.path + "/tone.wav";
    ASSERT_TRUE(writeWav8k(wav, tone(10000, 2.0, 700)));
    const test::ProgramResult played = daemon_.run({"paplay", "--device=spk", wav});
    ASSERT_EQ(played.status, 0) << played.output;
    // paplay returns once its sound has played; the last part-buffer may stay with the backend.
    const Clock::time_point deadline = Clock::now() + 20s;
    while (capturedBytes() < 28000 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    const Bytes pcm = takeCaptured(1 << 20);
    ASSERT_GE(pcm.size(), 28000u);
    EXPECT_EQ(pcm.size() % kPcmBlockBytes, 0u);
    const test::ToneFound heard = test::findTone(samplesOf(pcm));
    EXPECT_NEAR(heard.hz, 700, 5);
    EXPECT_NEAR(heard.amplitude, 10000, 500);
    EXPECT_NEAR(micPeakLevel(), 10000, 500);
}

// The index of the phone's playback stream on the server; -1 when there is none.
int phoneSinkInput(const test::PulseDaemon& daemon) {
    const test::ProgramResult r = daemon.pactl({"list", "short", "sink-inputs"});
    return r.status == 0 && !r.output.empty() && std::isdigit(r.output[0]) ? std::stoi(r.output) : -1;
}

TEST_F(PulseTest, AMessageMovedOrUnpluggedPlaysOnElsewhereAndTheNextSoundComesBack) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"main", "Speakers (Main)", "speaker"},
                                        {"other", "Headphones (Other)", "headphone"},
                                        {"third", "Line Out", ""}}));
    ASSERT_NO_FATAL_FAILURE(pactl({"set-default-sink", "third"}));
    ASSERT_TRUE(chooseOutput("main"));
    auto onMain = record("main"), onOther = record("other"), onThird = record("third");
    ASSERT_EQ(playMessage(messageOf(6.0)), "");
    test::Pump pump;
    const auto halfSecondIn = [](const std::vector<int16_t>& x) {
        const test::ToneFound t = test::loudSpan(x);
        return t.found && x.size() - t.first > 4000;
    };
    ASSERT_TRUE(onMain->waitFor(halfSecondIn, Clock::now() + 20s)) << "the message never reached the chosen device";

    // A user moves the phone in the desktop's mixer: the stream goes along, still playing.
    const int stream = phoneSinkInput(daemon_);
    ASSERT_GE(stream, 0);
    ASSERT_NO_FATAL_FAILURE(pactl({"move-sink-input", std::to_string(stream), "other"}));
    ASSERT_TRUE(onOther->waitFor(halfSecondIn, Clock::now() + 20s)) << "the moved stream went quiet";
    ASSERT_TRUE(playbackClock().playing);

    // The device it plays on is unplugged: the server moves it to its default.
    ASSERT_NO_FATAL_FAILURE(unloadSink("other"));
    ASSERT_TRUE(onThird->waitFor(halfSecondIn, Clock::now() + 20s)) << "the unplugged device's sound was lost";
    const Clock::time_point deadline = Clock::now() + 20s;
    while (playbackClock().playing && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(playbackClock().playing) << "the message ran to its end";

    // A stream that died (its server's device gone under it) is opened anew on the choice.
    ASSERT_NO_FATAL_FAILURE(unloadSink("third"));
    onMain->clear();
    ASSERT_TRUE(outputAvailable());
    enqueuePcm(tone(10000, 0.6, 600));
    const test::ToneFound ring = recordedTone(*onMain);
    EXPECT_NEAR(ring.hz, 600, 5);
    EXPECT_NEAR(double(ring.last - ring.first), 4800, 400);
}

TEST_F(PulseTest, ACallsVoiceIsHeardAtOnceOverAPausedMessageWhichEndsAndAMessageCannotCutIt) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"spk", "Speakers (Realtek)", "speaker"}}));
    auto spk = record("spk");
    std::atomic<int> ended{0};
    setUiReceiver(UiTarget::Cards, [&](UiMessage m, intptr_t, intptr_t) {
        if (m == UiMessage::PlaybackEnded) ++ended;
    });
    struct Unregister {
        ~Unregister() { setUiReceiver(UiTarget::Cards, {}); }
    } unregister;
    ASSERT_EQ(playMessage(messageOf(20.0)), "");
    test::Pump pump;
    ASSERT_TRUE(spk->waitFor([](const auto& x) { return test::loudSpan(x).found; }, Clock::now() + 20s));
    togglePause();
    ASSERT_TRUE(playbackClock().paused);
    ASSERT_TRUE(spk->waitFor([](const auto& x) { return test::toneEnded(x); }, Clock::now() + 20s))
        << "the pause never silenced the device";
    const size_t atPause = spk->samples().size();
    const auto tail = [atPause](const std::vector<int16_t>& x) {
        return std::vector<int16_t>(x.begin() + long(std::min(atPause, x.size())), x.end());
    };

    // As a received chunk of a call is played.
    const Clock::time_point queued = Clock::now();
    ASSERT_TRUE(queueForPlayback(gsmEncode(bytesOf(tone(10000, 1.0, 600)), true)));
    ASSERT_TRUE(spk->waitFor([&](const auto& x) { return test::loudSpan(tail(x)).found; }, Clock::now() + 20s))
        << "the call's voice was never heard";
    const std::vector<int16_t> after = spk->samples();
    const test::ToneFound voice = test::loudSpan({after.begin() + long(atPause), after.end()});
    const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(spk->arrivalOf(atPause + voice.first) - queued);
    EXPECT_LE(delay.count(), 300) << "the call's voice waited";
    // The whole second heard, then quiet.
    const auto whole = [](const std::vector<int16_t>& x) { return heardTone(x).seconds >= 0.96 && test::toneEnded(x); };
    ASSERT_TRUE(spk->waitFor([&](const auto& x) { return whole(tail(x)); }, Clock::now() + 20s));
    const Heard heard = heardTone(tail(spk->samples()));
    EXPECT_NEAR(heard.hz, 600, 20) << "the voice, not the message";
    EXPECT_NEAR(heard.seconds, 1.0, 0.06) << "the voice alone, all of it";
    EXPECT_FALSE(playbackClock().playing);
    EXPECT_FALSE(playbackClock().paused);
    EXPECT_EQ(ended.load(), 1) << "the message's window learns it ended";

    // With the call up, Play is refused and Stop leaves the call's voice queued to play whole.
    lockPhone().state.callState = CallState::Talking;
    struct Hangup {
        ~Hangup() { lockPhone().state.callState = CallState::Idle; }
    } hangup;
    const size_t atCall = spk->samples().size();
    const auto fromCall = [atCall](const std::vector<int16_t>& x) {
        return std::vector<int16_t>(x.begin() + long(std::min(atCall, x.size())), x.end());
    };
    ASSERT_TRUE(queueForPlayback(gsmEncode(bytesOf(tone(10000, 1.0, 800)), true)));
    EXPECT_EQ(playMessage(messageOf(3.0)), "A call is up; the message waits.");
    EXPECT_FALSE(playbackClock().playing);
    stopPlayback();
    ASSERT_TRUE(spk->waitFor([&](const auto& x) { return whole(fromCall(x)); }, Clock::now() + 20s))
        << "the call's voice was never heard whole";
    const Heard call = heardTone(fromCall(spk->samples()));
    EXPECT_NEAR(call.hz, 800, 20) << "the call's voice, no message";
    EXPECT_NEAR(call.seconds, 1.0, 0.06) << "the call's voice, all of it";
}

TEST_F(PulseTest, MessageEndIsPostedOnceAfterItsLastFrameLeft) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"spk", "Speakers (Realtek)", "speaker"}}));
    auto spk = record("spk");
    struct Notice {
        size_t heard;  // samples the monitor had delivered
        int64_t held;  // microseconds of the message the server still held
    };
    std::mutex mutex;
    std::vector<Notice> notices;
    setUiReceiver(UiTarget::Cards, [&](UiMessage m, intptr_t, intptr_t) {
        if (m != UiMessage::PlaybackEnded) return;
        const Notice n{spk->samples().size(), spk->bufferedUsec("Phone")};
        std::lock_guard lock(mutex);
        notices.push_back(n);
    });
    struct Unregister {
        ~Unregister() { setUiReceiver(UiTarget::Cards, {}); }
    } unregister;

    ASSERT_EQ(playMessage(messageOf(3.0)), "");
    EXPECT_TRUE(playbackClock().playing);
    test::Pump pump;
    const test::ToneFound t = recordedTone(*spk);
    EXPECT_NEAR(double(t.last - t.first), 24000, 400) << "the whole message was heard";
    // Half a second of pumping after the notice, for a second one to show.
    size_t until = 0;
    ASSERT_TRUE(spk->waitFor([&](const std::vector<int16_t>& x) {
        std::lock_guard lock(mutex);
        if (!notices.empty() && until == 0) until = notices[0].heard + 4000;
        return until > 0 && x.size() >= until;
    }, Clock::now() + 20s)) << "no end of the message was posted";
    std::lock_guard lock(mutex);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].held, 0) << "posted while the server still held part of the message";
    EXPECT_FALSE(playbackClock().playing);
}

// The sound watcher as the phone runs it: a step every 100 ms.
struct Watcher : test::Ticker {
    Watcher() : Ticker(soundWatchStep, 100ms) {}
};

std::string statusNow() { return lockPhone().state.statusText; }

// Waits until the status line reads `text`.
bool statusBecomes(const std::string& text, Clock::duration limit = 20s) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (statusNow() != text && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return statusNow() == text;
}

TEST_F(PulseTest, SoundComesBackWhenTheServerStartsLateOrRestartsMidCall) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"spk", "Speakers (Realtek)", "speaker"}}));
    ASSERT_NO_FATAL_FAILURE(pactl({"set-default-source", "spk.monitor"}));
    struct Case {
        const char* what;
        bool atStart;             // the phone starts while there is no server
        std::string whileAway;  // the status line meanwhile
    };
    for (const Case& c : {Case{"no server when the phone starts", true, "No sound server is running; this phone has no sound."},
                         Case{"the server restarts in a call", false, "The sound server stopped; reconnecting."}}) {
        SCOPED_TRACE(c.what);
        test::Pump pump;
        std::optional<Watcher> watcher;
        if (!c.atStart) {
            // A call's microphone and a voice playing when the server goes.
            ASSERT_TRUE(startCapture());
            ASSERT_TRUE(outputAvailable());
            watcher.emplace();
            enqueuePcm(tone(8000, 3.0));
        }
        daemon_.crash();
        if (c.atStart) {
            // As start-up opens the sound: the server missing, PulseAudio still chosen.
            soundBackend().close();
            std::string note;
            ASSERT_FALSE(pulseBackend().open(note));
            EXPECT_EQ(note, c.whileAway);
            setStatus(note);
            EXPECT_FALSE(startCapture());
            soundWatchStep();
            watcher.emplace();
        }
        ASSERT_TRUE(statusBecomes(c.whileAway));
        EXPECT_FALSE(outputAvailable());
        EXPECT_FALSE(startCapture()) << "a microphone without its server is not running";

        std::string error;
        ASSERT_TRUE(daemon_.relaunch(error)) << error;
        const Clock::time_point deadline = Clock::now() + 5s;
        ASSERT_NO_FATAL_FAILURE(pactl({"set-default-source", "spk.monitor"}));
        auto spk = record("spk");
        // Nobody asks again: the watcher reaches the server and capture restarts with it.
        ASSERT_TRUE(statusBecomes("Sound is back.", deadline - Clock::now()));
        clearCapture();
        while (capturedBytes() < 2 * kPcmBlockBytes && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
        EXPECT_GE(capturedBytes(), 2 * kPcmBlockBytes) << "no captured buffers arrived in time";
        EXPECT_TRUE(startCapture()) << "the microphone is back";
        enqueuePcm(tone(10000, 0.5, 600));
        const auto heard = [](const std::vector<int16_t>& x) { return test::loudSpan(x).found; };
        EXPECT_TRUE(spk->waitFor(heard, deadline)) << "nothing reached the device in time";
    }
}

TEST_F(PulseTest, MicrophonesAreOfferedAndTheChosenOneIsRecordedFrom) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"spk", "Speakers (Realtek)", "speaker"}}));
    for (const char* m : {"usbmic", "webcam"}) {
        const std::string description = m == std::string("usbmic") ? "Microphone (USB Audio)" : "Webcam Microphone";
        ASSERT_NO_FATAL_FAILURE(pactl({"load-module", "module-null-source", std::string("source_name=") + m,
                                       "description='" + description + "'"}));
    }
    ASSERT_NO_FATAL_FAILURE(pactl({"set-default-source", "webcam"}));
    const auto inputs = [] {
        json out;
        EXPECT_TRUE(soundCommand("inputs", "", [&](const json& line) { out = line; }));
        return out;
    };
    // The source that records a capture stream, by name.
    const auto recordingFrom = [this] {
        std::map<std::string, std::string> names;
        std::stringstream sources(daemon_.pactl({"list", "short", "sources"}).output);
        for (std::string line; std::getline(sources, line);) {
            std::stringstream f(line);
            std::string index, name;
            f >> index >> name;
            names[index] = name;
        }
        std::stringstream outputs(daemon_.pactl({"list", "short", "source-outputs"}).output);
        std::string index, source;
        outputs >> index >> source;
        return names[source];
    };
    const json listed = inputs();
    EXPECT_EQ(listedOf(listed), (std::vector<Listed>{{"usbmic", "Microphone"}, {"webcam", "Webcam Microphone"}}))
        << "monitors of outputs are no microphones";
    EXPECT_EQ(chosenOf(listed), "webcam") << "the server's default while nothing is chosen";
    ASSERT_TRUE(startCapture());
    EXPECT_EQ(recordingFrom(), "webcam");

    json answer;
    ASSERT_TRUE(soundCommand("input", "spk.monitor", [&](const json& line) { answer = line; }));
    EXPECT_EQ(answer, json({{"error", "No such microphone."}}));
    ASSERT_TRUE(soundCommand("input", "usbmic", [&](const json& line) { answer = line; }));
    EXPECT_EQ(answer, json({{"event", "input"}, {"id", "usbmic"}}));
    EXPECT_EQ(chosenOf(inputs()), "usbmic");
    EXPECT_EQ(recordingFrom(), "usbmic") << "capture moved to the chosen microphone";
    std::string text;
    ASSERT_TRUE(readWholeFile(shared_store_path(), text));
    EXPECT_EQ(json::parse(text).value("input", ""), "usbmic");
}

// A socket that takes the connection and never answers, as a server hung while starting.
TEST(PulseConnectTest, AServerThatNeverAnswersIsGivenUpOn) {
    test::TempFolder folder("mute");
    const std::string path = folder.path + "/pa.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    applyConfigDocument(json{{"audio", {{"backend", "pulse"}, {"server", "unix:" + path}}}});
    std::string note;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(pulseBackend().open(note)) << "nothing answered";
    EXPECT_LT(Clock::now() - start, 60s) << "the watcher, and so shutdown, would wait for ever";
    EXPECT_EQ(note, "No sound server is running; this phone has no sound.");
    EXPECT_FALSE(pulseBackend().connected());
    pulseBackend().close();
    ::close(fd);
}

}  // namespace
}  // namespace dialo
