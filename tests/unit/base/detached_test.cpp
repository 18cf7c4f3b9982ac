// Unjoined threads are counted so shutdown can wait for them before closing libcurl (TSan-checked).
#include <gtest/gtest.h>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include "base/detached.h"

using namespace dialo;

TEST(Detached, ShutdownWaitsForTheLastThreadAndSeesWhatItWrote) {
    EXPECT_TRUE(waitForDetached(0)) << "nothing started yet";
    // A gate the test opens; a body held at it cannot have ended, however fast the machine.
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    int first = 0;
    std::string written;  // unguarded on purpose: only the wait may order these writes
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    ASSERT_TRUE(startDetached([&] { first = 1; }));
    ASSERT_TRUE(startDetached([&, held = std::move(held)] {
        std::unique_lock lock(mutex);
        opened.wait(lock, [&] { return open; });
        lock.unlock();
        written = "written";
    }));
    EXPECT_FALSE(waitForDetached(50)) << "one is held at the gate";
    {
        std::lock_guard lock(mutex);
        open = true;
    }
    opened.notify_all();
    ASSERT_TRUE(waitForDetached(120000));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(written, "written");
    EXPECT_TRUE(watch.expired()) << "a capture outlived the count, and could outlive the libraries it uses";
}
