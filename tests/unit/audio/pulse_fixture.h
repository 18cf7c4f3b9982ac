#pragma once
// The phone's sound on a private PulseAudio daemon: the phone's configuration names the
// daemon's socket, and the pulse backend is opened and installed as start-up would. A daemon
// that cannot start fails the test with its reason.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/temp_folder.h"
#include "audio/backend.h"
#include "audio/playback.h"
#include "base/config.h"
#include "platform/files.h"
#include "state/phone_state.h"
#include "store/phone_store.h"
#include "support/pulse_daemon.h"

namespace dialo::test {

class PulseFixture : public ::testing::Test {
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
        const ProgramResult r = daemon_.pactl(args);
        ASSERT_EQ(r.status, 0) << "pactl failed: " << r.output;
    }

    /// A recorder of `sink`'s monitor, recording from now on.
    std::unique_ptr<MonitorRecorder> record(const std::string& sink) {
        auto r = std::make_unique<MonitorRecorder>();
        std::string error;
        EXPECT_TRUE(r->start(daemon_.server(), sink + ".monitor", error)) << error;
        return r;
    }

    TempFolder data_{"pulse"};
    PulseDaemon daemon_;
    bool opened_ = false;
};

}  // namespace dialo::test
