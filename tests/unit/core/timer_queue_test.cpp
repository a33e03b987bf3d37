#include "core/timer_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/event_loop.h"
#include "tests/unit/support/fake_transport.h"

namespace {

class TimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_core_state();
        fake_clock_install(1000);
        fired.clear();
    }
    void TearDown() override {
        zv_alloc_fail_after(-1);
        reset_core_state();
        timer_set_tick(nullptr);
    }
    static std::vector<std::string> fired;
    static void record(void* arg) { fired.emplace_back(static_cast<const char*>(arg)); }
};
std::vector<std::string> TimerTest::fired;

char kA[] = "a";
char kB[] = "b";
char kC[] = "c";

TEST_F(TimerTest, EqualDueTimesFireInCreationOrder) {
    timer_create(500, -1, record, kB);
    timer_create(100, -1, record, kA);
    timer_create(500, -1, record, kC);
    timer_expire(1500);
    EXPECT_EQ(fired, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(TimerTest, TicksPastThirtyTwoBitsKeepTimersInOrder) {
    // A 32-bit millisecond tick wraps after about 49.7 days; this one does not.
    const std::uint64_t near_wrap = 0xFFFFFFFFull - 5;
    fake_clock_set(near_wrap);
    timer_create(10, -1, record, kA);  // due past 2^32
    timer_expire(near_wrap + 9);
    EXPECT_TRUE(fired.empty());
    timer_expire(near_wrap + 10);
    EXPECT_EQ(fired.size(), 1u);
    EXPECT_EQ(timer_queue_first()->due, static_cast<std::int64_t>(near_wrap + 20));
    EXPECT_EQ(loop_timeout(near_wrap + 15).microseconds, 5 * 1024);
}

TEST_F(TimerTest, LateFiringShiftsEveryLaterPeriod) {
    timer_create(10000, -1, record, kA);  // due 11000
    timer_expire(10999);
    EXPECT_TRUE(fired.empty());
    timer_expire(11003);  // the pass started 3 ms late
    EXPECT_EQ(fired.size(), 1u);
    EXPECT_EQ(timer_queue_first()->due, 21003);
    timer_expire(21002);
    EXPECT_EQ(fired.size(), 1u);
    timer_expire(21003);
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(TimerTest, CancelRemovesExactlyThatTimer) {
    std::int32_t a = timer_create(100, -1, record, kA);
    timer_create(100, -1, record, kB);
    timer_cancel(a);
    timer_cancel(424242);  // unknown: nothing happens
    timer_expire(5000);
    EXPECT_EQ(fired, (std::vector<std::string>{"b"}));
}

TEST_F(TimerTest, PositiveRepeatCountFiresThatOftenThenReleases) {
    timer_create(100, 2, record, kA);
    timer_expire(1100);
    timer_expire(1200);
    EXPECT_EQ(timer_queue_first(), nullptr);
    timer_expire(99999);
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(TimerTest, CreationFailureReturnsZeroAndQueuesNothing) {
    zv_alloc_fail_after(0);
    EXPECT_EQ(timer_create(100, -1, record, kA), 0);
    EXPECT_EQ(timer_queue_first(), nullptr);
}

int ticks = 0;
int count_tick(Connection*, InputView* view) {
    EXPECT_EQ(view->data, nullptr);
    EXPECT_EQ(view->length, 0);
    ++ticks;
    return 0;
}

TEST_F(TimerTest, ConnectionTimerStartRules) {
    FakeSocket socket;
    Connection* c = make_fake_connection(&socket);
    EXPECT_EQ(conn_timer_start(c, count_tick), 2) << "no period";
    EXPECT_EQ(c->on_timer, nullptr);

    c->timer_ms = 50;
    EXPECT_EQ(conn_timer_start(c, nullptr), 2) << "no hook";
    EXPECT_EQ(conn_timer_start(c, count_tick), 0);
    std::int32_t id = c->timer_id;
    EXPECT_EQ(conn_timer_start(c, nullptr), 1);
    EXPECT_EQ(c->timer_id, id);
    EXPECT_EQ(c->on_timer, count_tick);

    Connection* failing = make_fake_connection(&socket);
    failing->timer_ms = 50;
    zv_alloc_fail_after(0);
    EXPECT_EQ(conn_timer_start(failing, count_tick), -1);
    EXPECT_TRUE(conn_is_closing(failing));
    EXPECT_EQ(failing->timer_id, 0);
}

TEST_F(TimerTest, DestroyedConnectionsTimerNeverFiresAgain) {
    FakeSocket socket;
    Connection* c = make_fake_connection(&socket);
    c->timer_ms = 50;
    ticks = 0;
    conn_timer_start(c, count_tick);
    timer_expire(1050);
    EXPECT_EQ(ticks, 1);
    conn_destroy(c);
    EXPECT_EQ(timer_queue_first(), nullptr);
    timer_expire(99999);
    EXPECT_EQ(ticks, 1);
}

TEST_F(TimerTest, IdsNameTheirOwnTimerBeyondSixteenBits) {
    // One long-lived connection timer, then more than 65,536 short-lived ones: every id is
    // unique among queued timers and non-zero, and cancelling a newer id whose low 16
    // bits equal the old one's leaves the old timer alone.
    FakeSocket socket;
    Connection* keeper = make_fake_connection(&socket);
    keeper->timer_ms = 1000;
    ASSERT_EQ(conn_timer_start(keeper, count_tick), 0);
    std::int32_t kept = keeper->timer_id;

    for (int i = 0; i < 70000; ++i) {
        std::int32_t id = timer_create(5, -1, record, kA);
        ASSERT_NE(id, 0);
        ASSERT_NE(id, kept);
        timer_cancel(id);
    }
    std::int32_t alias = kept + 65536;
    timer_cancel(alias);
    ASSERT_NE(timer_queue_first(), nullptr);
    EXPECT_EQ(timer_queue_first()->id, kept);

    conn_destroy(keeper);
    EXPECT_EQ(timer_queue_first(), nullptr);
}

}  // namespace
