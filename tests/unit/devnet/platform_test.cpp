// The platform service's push listing, as the devnet embeds it: it answers when a payment
// arrives, at once for an old cursor, and when the service stops.

#include <thread>

#include "support/devnet_fixture.h"
#include "service/platform.h"

namespace dialo::devnet::test {
namespace {

class DevnetPlatformTest : public DevnetTest {
protected:
    std::string listingPath(const Key& k, const std::string& extra = {}) {
        return "/oi/oracle/dialo/txids?address=" + k.address + "&kind=all&limit=20" + extra;
    }
    const service::PlatformCounters& counters() { return devnet.platform().counters(); }
};

TEST_F(DevnetPlatformTest, PushListingAnswersWhenAPaymentArrivesAtOnceForAnOldCursorAndOnStop) {
    start();
    Key alice = keyOf('1');
    const std::string before = fund(alice, 1000, false).txid;
    Reply now = get(listingPath(alice));
    ASSERT_EQ(now.status, 200) << now.body;
    ASSERT_TRUE(now.j["cursor"].is_string());
    const std::string cursor = now.j["cursor"];
    EXPECT_EQ(now.j["txids"], json::array({before}));

    // Waiting on the current cursor: the next payment, through whichever route, answers it.
    Reply pushed;
    std::thread waiter([&] { pushed = get(listingPath(alice, "&wait=20&after=" + cursor)); });
    ASSERT_TRUE(waitFor([&] { return counters().pushWaiting.load() == 1; }));
    const std::string paid = fund(alice, 2000, false).txid;
    waiter.join();
    ASSERT_EQ(pushed.status, 200) << pushed.body;
    EXPECT_EQ(pushed.j["txids"], json::array({before, paid}));
    EXPECT_GT(std::stoll(pushed.j["cursor"].get<std::string>()), std::stoll(cursor));
    EXPECT_EQ(counters().pushWoken.load(), 1u);

    // An old cursor is passed already: the answer comes without waiting.
    const uint64_t waits = counters().pushWaits;
    Reply stale = get(listingPath(alice, "&wait=20&after=" + cursor));
    EXPECT_EQ(stale.j["txids"], json::array({before, paid}));
    EXPECT_EQ(counters().pushWaits.load(), waits);
    EXPECT_EQ(get(listingPath(alice, "&wait=x")).status, 400);

    // Stopping ends a wait (longer than the client's patience) with the listing as it stands.
    Reply ended;
    const std::string latest = pushed.j["cursor"];
    std::thread last([&] { ended = get(listingPath(alice, "&wait=25&after=" + latest)); });
    ASSERT_TRUE(waitFor([&] { return counters().pushWaiting.load() == 1; }));
    devnet.stop();
    last.join();
    ASSERT_TRUE(ended.reached);
    EXPECT_EQ(ended.status, 200) << ended.body;
    EXPECT_EQ(ended.j["cursor"], latest);
}

}  // namespace
}  // namespace dialo::devnet::test
