#include "core/event_loop.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <vector>

#include "core/timer_queue.h"
#include "core/transfer.h"
#include "tests/unit/support/fake_transport.h"

namespace {

// A scripted readiness wait: each call pops one step; the step decides which handles are
// ready (or that the wait fails). Every call is recorded.
struct WaitStep {
    int result = 0;  // -1: the wait fails
    std::vector<sock_t> readable;
    std::vector<sock_t> writable;
    std::uint64_t advance_clock = 0;  // time that passes during the wait
};
struct WaitCall {
    WaitTimeout timeout;
    InterestSet read;
    InterestSet write;
};
WaitStep step(int result, std::uint64_t advance = 0) {
    WaitStep s;
    s.result = result;
    s.advance_clock = advance;
    return s;
}
std::deque<WaitStep> steps;
std::vector<WaitCall> calls;

void keep_only(InterestSet* set, const std::vector<sock_t>& ready) {
    InterestSet out{};
    for (std::uint32_t i = 0; i < set->count; ++i) {
        for (sock_t h : ready) {
            if (set->handles[i] == h) out.handles[out.count++] = h;
        }
    }
    *set = out;
}

int fake_wait(InterestSet* read, InterestSet* write, sock_t, WaitTimeout timeout) {
    calls.push_back(WaitCall{timeout, *read, *write});
    if (steps.empty()) return -1;  // an exhausted script ends the run
    WaitStep step = steps.front();
    steps.pop_front();
    fake_clock_advance(step.advance_clock);
    if (step.result < 0) return -1;
    keep_only(read, step.readable);
    keep_only(write, step.writable);
    return static_cast<int>(read->count + write->count);
}

class EventLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_core_state();
        fake_clock_install(5000);
        event_loop_set_wait(fake_wait);
        steps.clear();
        calls.clear();
    }
    void TearDown() override {
        reset_core_state();
        event_loop_set_wait(nullptr);
        timer_set_tick(nullptr);
    }
};

TEST(LoopTimeoutTest, MillisecondsBecomeSecondsAndUnitsOf1024Microseconds) {
    reset_core_state();
    fake_clock_install(0);
    EXPECT_EQ(loop_timeout(0).seconds, 2);
    EXPECT_EQ(loop_timeout(0).microseconds, 0);

    struct Case {
        std::int32_t m;
        long seconds;
        long micros;
    } cases[] = {{10, 0, 10240}, {1000, 0, 1024000}, {1023, 0, 1047552},
                 {1024, 1, 0},   {1500, 1, 487424},  {10000, 9, 802816}};
    for (const Case& c : cases) {
        timer_queue_reset();
        timer_create(c.m, -1, nullptr, nullptr);
        WaitTimeout t = loop_timeout(0);
        EXPECT_EQ(t.seconds, c.seconds) << c.m;
        EXPECT_EQ(t.microseconds, c.micros) << c.m;
    }
    // Already due: poll.
    EXPECT_EQ(loop_timeout(20000).seconds, 0);
    EXPECT_EQ(loop_timeout(20000).microseconds, 0);
    timer_queue_reset();
    timer_set_tick(nullptr);
}

int init_ok(int, char**) {
    return 0;
}

FakeSocket* loop_socket = nullptr;
Connection* loop_conn = nullptr;
int init_one_connection(int, char**) {
    loop_conn = make_fake_connection(loop_socket);
    return 0;
}

TEST_F(EventLoopTest, FourFailedWaitsAreToleratedAndTheFifthEndsTheRun) {
    FakeSocket socket;
    loop_socket = &socket;
    steps = {step(-1), step(-1), step(-1), step(-1), step(0), step(-1),
             step(-1), step(-1), step(-1), step(-1), step(0)};
    event_loop_run(Application{init_one_connection, nullptr}, 0, nullptr);
    EXPECT_EQ(calls.size(), 10u);
    EXPECT_EQ(loop_state().table.count, 0u) << "shutdown destroys every connection";
    EXPECT_EQ(socket.close_calls, 1);
}

int fail_after_two(int, char**) {
    make_fake_connection(loop_socket);
    make_fake_connection(loop_socket);
    return -1;
}

TEST_F(EventLoopTest, FailedInitRunsNoPassAndDestroysWhatItMade) {
    FakeSocket socket;
    loop_socket = &socket;
    event_loop_run(Application{fail_after_two, nullptr}, 0, nullptr);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(socket.close_calls, 2);
    EXPECT_EQ(loop_state().table.count, 0u);
}

int refreshes = 0;
void count_refresh(LoopState*) {
    ++refreshes;
}

TEST_F(EventLoopTest, EmptyTableAfterRefreshEndsTheLoop) {
    refreshes = 0;
    event_loop_run(Application{init_ok, count_refresh}, 0, nullptr);
    EXPECT_EQ(refreshes, 1);
    EXPECT_TRUE(calls.empty());
}

FakeSocket* refresh_socket = nullptr;
void refresh_adds_once(LoopState* state) {
    ++refreshes;
    if (refreshes == 2 && state->table.count == 0) make_fake_connection(refresh_socket);
}

TEST_F(EventLoopTest, RefreshRunsAgainAfterTheLastConnectionIsGone) {
    // Pass 1: the only connection is marked and reaped. Pass 2: the refresh finds the
    // table empty and creates a connection, so the loop goes on to wait.
    FakeSocket first;
    FakeSocket second;
    loop_socket = &first;
    refresh_socket = &second;
    refreshes = 0;
    first.incoming = {"x"};
    first.fail_read = true;
    steps = {step(1)};
    event_loop_run(Application{init_one_connection,
                               [](LoopState* s) {
                                   if (refreshes == 0 && s->table.count == 1) {
                                       // make the first wait report the connection readable
                                       steps.front().readable = {s->table.connections[0]->handle};
                                   }
                                   refresh_adds_once(s);
                               }},
                   0, nullptr);
    // The first pass reaps the only connection; the second pass's refresh makes a new
    // one, so the loop waits again instead of ending (it then ends on failed waits).
    EXPECT_EQ(calls.size(), 6u);
    EXPECT_EQ(first.close_calls, 1);
    EXPECT_EQ(second.close_calls, 1);
}

int timer_hits = 0;
void count_timer(void*) {
    ++timer_hits;
}

TEST_F(EventLoopTest, TimerDueDuringTheWaitFiresNextPassWhichPolls) {
    FakeSocket socket;
    loop_socket = &socket;
    timer_hits = 0;
    timer_create(100, -1, count_timer, nullptr);  // due 5100
    steps = {step(0, 150), step(0)};
    event_loop_run(Application{init_one_connection, nullptr}, 0, nullptr);
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].timeout.seconds, 0);
    EXPECT_EQ(calls[0].timeout.microseconds, 100 * 1024);
    EXPECT_EQ(calls[1].timeout.microseconds, 0) << "the due timer makes the next wait a poll";
    EXPECT_EQ(timer_hits, 1) << "fired in the second pass, not the first";
}

int reads_seen = 0;
int consume_all(Connection*, InputView* view) {
    ++reads_seen;
    return view->length;
}

TEST_F(EventLoopTest, ReadyConnectionsAreReadAndFlushed) {
    FakeSocket socket;
    loop_socket = &socket;
    reads_seen = 0;
    steps = {step(1)};
    event_loop_run(Application{init_one_connection,
                               [](LoopState*) {
                                   if (loop_conn != nullptr && !steps.empty()) {
                                       loop_conn->on_frame = consume_all;
                                       loop_socket->incoming = {"data"};
                                       loop_socket->accept_limit = 2;
                                       conn_send(loop_conn, "abcd", 4);
                                       loop_socket->accept_limit = -1;
                                       steps.front().readable = {loop_conn->handle};
                                       steps.front().writable = {loop_conn->handle};
                                   }
                               }},
                   0, nullptr);
    EXPECT_EQ(reads_seen, 1);
    EXPECT_EQ(socket.sent, "abcd");
    // The second wait: the connection has drained and is watched for reading only.
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[1].write.count, 0u);
    EXPECT_EQ(calls[1].read.count, 1u);
}

TEST_F(EventLoopTest, StalledConnectionIsDrainedAndEndsWithItsPeer) {
    FakeSocket socket;
    loop_socket = &socket;
    steps = {step(1), step(1), step(1), step(0)};
    event_loop_run(Application{init_one_connection,
                               [](LoopState*) {
                                   if (calls.empty()) {
                                       loop_conn->on_frame = [](Connection*, InputView*) {
                                           return 0;
                                       };
                                       loop_socket->incoming = {std::string(2048, 'z'), "more"};
                                   }
                                   if (calls.size() == 2) loop_socket->fail_read = true;
                                   if (!steps.empty() && loop_state().table.count > 0) {
                                       steps.front().readable = {loop_conn->handle};
                                   }
                               }},
                   0, nullptr);
    // Pass 1 fills and stalls; pass 2 drains "more"; pass 3 sees the close and reaps it;
    // pass 4 finds the table empty.
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_TRUE(socket.incoming.empty());
    EXPECT_EQ(socket.close_calls, 1);
}

}  // namespace
