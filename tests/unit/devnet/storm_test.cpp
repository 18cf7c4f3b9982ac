// The fault storm's draws: its share of faults, only the kinds asked for, counted by kind, the
// same fates again from the same seed, calm after a stop. The e2e storm run meets it on every
// server and reads the listings it counts.

#include <map>
#include <string>
#include <vector>

#include "support/devnet_fixture.h"
#include "tools/devnet/storm.h"

namespace dialo::devnet::test {
namespace {

// What each of `n` draws gave: "calm", "slow", "drop" or the status.
std::vector<std::string> fates(Storm& storm, int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) {
        std::optional<Fault> f = storm.draw();
        out.push_back(!f ? "calm" : f->drop ? "drop" : f->delayMs > 0 ? "slow" : std::to_string(f->status));
    }
    return out;
}

TEST(StormDraws, SameSeedSameFatesAndTheShareAsked) {
    std::string error;
    Storm a, b;
    const json settings = {{"rate", 0.2}, {"kinds", {429, 503, 500, "slow", "drop"}}, {"slow_ms", 400}, {"seed", 99}};
    ASSERT_TRUE(a.start(settings, error)) << error;
    ASSERT_TRUE(b.start(settings, error)) << error;
    const std::vector<std::string> first = fates(a, 5000);
    EXPECT_EQ(fates(b, 5000), first);

    std::map<std::string, int> seen;
    for (const std::string& f : first) ++seen[f];
    // 1000 expected faults; a binomial spread of 28, so 850..1150 is over five deviations.
    EXPECT_GT(5000 - seen["calm"], 850);
    EXPECT_LT(5000 - seen["calm"], 1150);
    for (const char* kind : {"429", "503", "500", "slow", "drop"}) EXPECT_GT(seen[kind], 100) << kind;
    const json report = a.report();
    EXPECT_EQ(report["requests"], 5000);
    for (const char* kind : {"429", "503", "500", "slow", "drop"}) EXPECT_EQ(report["faults"][kind], seen[kind]) << kind;

    // Another seed, other fates; a restart starts the sequence again; a stop is calm.
    ASSERT_TRUE(b.start({{"seed", 100}}, error));
    EXPECT_NE(fates(b, 200), std::vector<std::string>(first.begin(), first.begin() + 200));
    ASSERT_TRUE(a.start(settings, error));
    EXPECT_EQ(fates(a, 200), std::vector<std::string>(first.begin(), first.begin() + 200));
    a.stop();
    EXPECT_FALSE(a.draw());
}

TEST(StormDraws, RefusesSettingsItCannotKeep) {
    Storm s;
    std::string error;
    for (const json& bad : {json::array(), json{{"rate", 1.5}}, json{{"rate", "high"}}, json{{"kinds", json::array()}},
                            json{{"kinds", {200}}}, json{{"kinds", {"late"}}}, json{{"slow_ms", 0}},
                            json{{"seed", "x"}}}) {
        EXPECT_FALSE(s.start(bad, error)) << bad.dump();
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(s.draw());
}

}  // namespace
}  // namespace dialo::devnet::test
