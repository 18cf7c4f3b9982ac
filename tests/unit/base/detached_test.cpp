// Threads nobody joins, counted so that shutdown can wait for them before it closes libcurl.
// Under ThreadSanitizer the plain writes below also prove that the wait orders them before the
// waiter's reads.

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "base/detached.h"

using namespace dialo;

namespace {

// A gate the test opens; a body held at it cannot have ended, however fast the machine.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;

    void pass() {
        std::unique_lock lock(mutex);
        opened.wait(lock, [this] { return open; });
    }
    void openIt() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        opened.notify_all();
    }
};

}  // namespace

TEST(Detached, ShutdownWaitsForTheLastThreadAndSeesWhatItWrote) {
    EXPECT_TRUE(waitForDetached(0)) << "nothing started yet";
    Gate gate;
    int first = 0;
    std::string second;  // unguarded on purpose: only the wait may order these writes
    ASSERT_TRUE(startDetached([&] { first = 1; }));
    ASSERT_TRUE(startDetached([&] {
        gate.pass();
        second = "written";
    }));
    EXPECT_FALSE(waitForDetached(50)) << "one is held at the gate";
    gate.openIt();
    ASSERT_TRUE(waitForDetached(120000));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, "written");
}

TEST(Detached, WhatTheBodyHoldsIsGoneWhenTheWaitEnds) {
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    ASSERT_TRUE(startDetached([held = std::move(held)] { (void)*held; }));
    ASSERT_TRUE(waitForDetached(120000));
    EXPECT_TRUE(watch.expired()) << "a capture outlived the count, and could outlive the libraries it uses";
}
