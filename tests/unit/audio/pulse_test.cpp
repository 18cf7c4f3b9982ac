// The phone's sound on a private PulseAudio daemon: devices offered and chosen, what they play, restarts.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <nlohmann/json.hpp>
#include "audio/backend.h"
#include "audio/capture.h"
#include "audio/devices.h"
#include "audio/gsm.h"
#include "audio/pcm.h"
#include "audio/playback.h"
#include "audio/sound_watch.h"
#include "base/config.h"
#include "platform/files.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/phone_store.h"
#include "support/pulse_daemon.h"
#include "support/temp_folder.h"
#include "tools/phone/sound.h"
namespace dialo {
namespace {
using nlohmann::json;
using test::Clock;
using test::NullSink;
using namespace std::chrono_literals;
class PulseTest : public ::testing::Test {
protected:
    /// Starts the daemon with `sinks` and the phone on it; use under ASSERT_NO_FATAL_FAILURE.
    void startPulse(const std::vector<NullSink>& sinks) {
        std::string error;
        ASSERT_TRUE(daemon_.start(sinks, error)) << error;
        // The shared file names the daemon, so that reading the settings again keeps it.
        const json doc = {{"audio", {{"backend", "pulse"}, {"server", daemon_.server()}}}};
        ASSERT_TRUE(writeFileAtomic(shared_store_path(), doc.dump()));
        phoneFlags().volume = 100;  // the file names none; an earlier test may have set one
        load_settings();
        ASSERT_TRUE(pulseBackend().open(error)) << error << "\n" << daemon_.logText();
        setSoundBackend(pulseBackend());
        opened_ = true;
        setOutputId(lockPhone().state.settings.output);
    }
    void TearDown() override {
        if (opened_) releaseOutputs(), soundBackend().close(), setSoundBackend(noneBackend());
        daemon_.stop();
    }
    void sink(const NullSink& s, bool load) {
        std::string error;
        ASSERT_TRUE(load ? daemon_.loadSink(s, error) : daemon_.unloadSink(s.name, error)) << error;
    }
    void pactl(const std::vector<std::string>& args) {
        const test::ProgramResult r = daemon_.pactl(args);
        ASSERT_EQ(r.status, 0) << "pactl failed: " << r.output;
    }
    std::unique_ptr<test::MonitorRecorder> record(const std::string& sink) {
        auto r = std::make_unique<test::MonitorRecorder>();
        std::string error;
        EXPECT_TRUE(r->start(daemon_, sink + ".monitor", error)) << error;
        return r;
    }
    test::TempFolder data_{"pulse"};  // the phone's data folder
    test::PulseDaemon daemon_;
    bool opened_ = false;
};
struct Listed { std::string id, name; bool operator==(const Listed&) const = default; };
std::ostream& operator<<(std::ostream& os, const Listed& l) { return os << l.id << "=\"" << l.name << "\""; }
json soundAnswer(const std::string& command, const std::string& arg = "") {
    json out;
    EXPECT_TRUE(soundCommand(command, arg, [&](const json& line) { out = line; }));
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
std::string storedSetting(const char* key) {
    std::string text;
    EXPECT_TRUE(readWholeFile(shared_store_path(), text));
    return json::parse(text).value(key, "");
}
std::vector<int16_t> tone(double amplitude, double seconds, double hz = 1000) { return test::sineTone(hz, amplitude, seconds); }
// A peer's message of a 1 kHz tone, encoded from a fresh state as its recorder does.
Bytes messageOf(double seconds) { return gsmEncode(bytesOf(tone(10000, seconds)), true); }
bool loud(const std::vector<int16_t>& x) { return test::heardTone(x).seconds > 0; }
bool ended(const std::vector<int16_t>& x) { return test::heardTone(x).ended; }
TEST_F(PulseTest, DevicesAreOfferedUnderKnownNamesAndTheRightOneIsChosen) {
    ASSERT_NO_FATAL_FAILURE(startPulse({}));
    struct Case {  // listed: as the menu shows them; offered: acceptable in all (0: as many as listed)
        const char* what; std::vector<NullSink> sinks; std::string defaultSink, stored; std::vector<Listed> listed;
        std::string chosen; size_t offered = 0;
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
        {"a main speaker is chosen when the default is not offered", withNvidia, "nvd", "", twoListed, "main"},
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
        for (const NullSink& s : c.sinks) ASSERT_NO_FATAL_FAILURE(sink(s, true));
        ASSERT_NO_FATAL_FAILURE(pactl({"set-default-sink", c.defaultSink}));
        setOutputId(c.stored);
        const json devices = soundAnswer("devices");
        EXPECT_EQ(listedOf(devices), c.listed);
        EXPECT_EQ(chosenOf(devices), c.chosen);
        EXPECT_EQ(listOutputDevices().size(), c.offered ? c.offered : c.listed.size());
        for (const NullSink& s : c.sinks) ASSERT_NO_FATAL_FAILURE(sink(s, false));
    }
    EXPECT_TRUE(listOutputDevices().empty());
    EXPECT_EQ(outputLabel(), "Output: none");
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
    EXPECT_EQ(storedSetting("output"), "usb");
    // A restart: nothing in memory, the store read again and its choice handed to the pump.
    setOutputId("");
    lockPhone().state.settings.output.clear();
    EXPECT_EQ(outputLabel(), "Output: Speakers");
    load_settings();
    setOutputId(lockPhone().state.settings.output);
    EXPECT_EQ(outputLabel(), "Output: Headphones");
    EXPECT_EQ(chosenOf(soundAnswer("devices")), "usb");
    // Half the volume: linear interpolation up to the device's rate passes 1 kHz at sinc²(1/8).
    auto usb = record("usb"), hda = record("hda");
    test::Pump pump;
    ASSERT_TRUE(outputAvailable());
    phoneFlags().volume = 50;
    enqueuePcm(tone(12000, 1.0));
    ASSERT_TRUE(usb->waitFor(ended)) << "no tone followed by silence was recorded";
    const test::Heard h = test::heardTone(usb->samples());
    EXPECT_NEAR(h.hz, 1000, 20);
    EXPECT_NEAR(h.seconds, 1.0, 0.06) << "the whole second, once";
    EXPECT_NEAR(h.peak, 6000 * std::pow(std::sin(M_PI / 8) / (M_PI / 8), 2), 600) << "at the volume";
    EXPECT_FALSE(loud(hda->samples())) << "the speakers played what was meant for the headphones";
}
TEST_F(PulseTest, ACallsVoiceIsHeardOverAPausedMessageWhichEndsAndAMessageCannotCutIt) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"spk", "Speakers (Realtek)", "speaker"}}));
    auto spk = record("spk");
    std::atomic<int> endings{0};
    setUiReceiver(UiTarget::Cards, [&](UiMessage m, intptr_t, intptr_t) { endings += m == UiMessage::PlaybackEnded; });
    struct Restore {
        ~Restore() { setUiReceiver(UiTarget::Cards, {}), lockPhone().state.callState = CallState::Idle; }
    } restore;
    ASSERT_EQ(playMessage(messageOf(20.0)), "");
    test::Pump pump;
    ASSERT_TRUE(spk->waitFor(loud));
    togglePause();
    ASSERT_TRUE(playbackClock().paused);
    ASSERT_TRUE(spk->waitFor(ended)) << "the pause never silenced the device";
    // A received chunk of a call, then one with the call up: each heard whole, alone.
    for (const double hz : {600.0, 800.0}) {
        SCOPED_TRACE(hz);
        const size_t from = spk->samples().size();
        ASSERT_TRUE(queueForPlayback(gsmEncode(bytesOf(tone(10000, 1.0, hz)), true)));
        if (hz == 800) {
            EXPECT_EQ(playMessage(messageOf(3.0)), "A call is up; the message waits.");
            EXPECT_FALSE(playbackClock().playing);
            stopPlayback();  // and Stop leaves the call's voice to play whole
        }
        const auto whole = [](const std::vector<int16_t>& x) { return test::heardTone(x).seconds >= 0.96 && ended(x); };
        ASSERT_TRUE(spk->waitFor(whole, from)) << "the call's voice was never heard whole";
        const test::Heard heard = test::heardTone(spk->samples(from));
        EXPECT_NEAR(heard.hz, hz, 20) << "the voice, not the message";
        EXPECT_NEAR(heard.seconds, 1.0, 0.06) << "the voice alone, all of it";
        EXPECT_FALSE(playbackClock().playing);
        EXPECT_FALSE(playbackClock().paused);
        EXPECT_EQ(endings.load(), 1) << "the message's window learns once that it ended";
        lockPhone().state.callState = CallState::Talking;
    }
}
struct Watcher : test::Ticker { Watcher() : Ticker(soundWatchStep, 100ms) {} };
bool statusBecomes(const std::string& text, Clock::time_point deadline) {
    while (lockPhone().state.statusText != text && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return lockPhone().state.statusText == text;
}
TEST_F(PulseTest, SoundComesBackWhenTheServerStartsLateOrRestartsMidCall) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"spk", "Speakers (Realtek)", "speaker"}}));
    ASSERT_NO_FATAL_FAILURE(pactl({"set-default-source", "spk.monitor"}));
    struct Case { const char* what; bool atStart; std::string whileAway; };  // atStart: no server at start-up
    for (const Case& c : {Case{"no server when the phone starts", true, "No sound server is running; this phone has no sound."},
                          Case{"the server restarts in a call", false, "The sound server stopped; reconnecting."}}) {
        SCOPED_TRACE(c.what);
        test::Pump pump;
        std::optional<Watcher> watcher;
        if (!c.atStart) {  // a call's microphone and a voice playing when the server goes
            ASSERT_TRUE(startCapture());
            ASSERT_TRUE(outputAvailable());
            watcher.emplace();
            enqueuePcm(tone(8000, 3.0));
        }
        daemon_.crash();
        if (c.atStart) {  // as start-up opens the sound: the server missing, PulseAudio chosen
            soundBackend().close();
            std::string note;
            ASSERT_FALSE(pulseBackend().open(note));
            EXPECT_EQ(note, c.whileAway);
            setStatus(note);
            EXPECT_FALSE(startCapture());
            soundWatchStep();
            watcher.emplace();
        }
        ASSERT_TRUE(statusBecomes(c.whileAway, Clock::now() + 20s));
        EXPECT_FALSE(outputAvailable());
        EXPECT_FALSE(startCapture()) << "a microphone without its server is not running";
        std::string error;
        ASSERT_TRUE(daemon_.relaunch(error)) << error;
        const Clock::time_point deadline = Clock::now() + 20s;
        ASSERT_NO_FATAL_FAILURE(pactl({"set-default-source", "spk.monitor"}));
        auto spk = record("spk");
        // Nobody asks again: the watcher reaches the server and capture restarts with it.
        ASSERT_TRUE(statusBecomes("Sound is back.", deadline));
        clearCapture();
        while (capturedBytes() < 2 * kPcmBlockBytes && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
        EXPECT_GE(capturedBytes(), 2 * kPcmBlockBytes) << "no captured buffers arrived";
        EXPECT_TRUE(startCapture()) << "the microphone is back";
        enqueuePcm(tone(10000, 0.5, 600));
        EXPECT_TRUE(spk->waitFor(loud)) << "nothing reached the device";
    }
}
TEST_F(PulseTest, MicrophonesAreOfferedAndTheChosenOneIsRecordedFrom) {
    ASSERT_NO_FATAL_FAILURE(startPulse({{"spk", "Speakers (Realtek)", "speaker"}}));
    ASSERT_NO_FATAL_FAILURE(pactl({"load-module", "module-null-source", "source_name=usbmic", "description='Microphone (USB Audio)'"}));
    ASSERT_NO_FATAL_FAILURE(pactl({"load-module", "module-null-source", "source_name=webcam", "description='Webcam Microphone'"}));
    ASSERT_NO_FATAL_FAILURE(pactl({"set-default-source", "webcam"}));
    const auto recordingFrom = [this] {
        std::stringstream sources(daemon_.pactl({"list", "short", "sources"}).output);
        std::stringstream outputs(daemon_.pactl({"list", "short", "source-outputs"}).output);
        std::string index, source, name;
        outputs >> index >> source;
        while (sources >> index >> name && index != source) sources.ignore(1 << 12, '\n');
        return name;
    };
    const json listed = soundAnswer("inputs");
    EXPECT_EQ(listedOf(listed), (std::vector<Listed>{{"usbmic", "Microphone"}, {"webcam", "Webcam Microphone"}}))
        << "monitors of outputs are no microphones";
    EXPECT_EQ(chosenOf(listed), "webcam") << "the server's default while nothing is chosen";
    ASSERT_TRUE(startCapture());
    EXPECT_EQ(recordingFrom(), "webcam");
    EXPECT_EQ(soundAnswer("input", "spk.monitor"), json({{"error", "No such microphone."}}));
    EXPECT_EQ(soundAnswer("input", "usbmic"), json({{"event", "input"}, {"id", "usbmic"}}));
    EXPECT_EQ(chosenOf(soundAnswer("inputs")), "usbmic");
    EXPECT_EQ(recordingFrom(), "usbmic") << "capture moved to the chosen microphone";
    EXPECT_EQ(storedSetting("input"), "usbmic");
}
// A socket that takes the connection and never answers, as a server hung while starting.
TEST(PulseConnectTest, AServerThatNeverAnswersIsGivenUpOn) {
    test::TempFolder folder("mute");
    const std::string path = folder.path + "/pa.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
