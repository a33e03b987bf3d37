#include "core/connection.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/alloc.h"
#include "tests/unit/support/fake_transport.h"

namespace {

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { reset_core_state(); }
    void TearDown() override {
        zv_alloc_fail_after(-1);
        reset_core_state();
    }
    FakeSocket socket_;
};

int destroyed = 0;
void count_destroy(void*) {
    ++destroyed;
}

TEST_F(ConnectionTest, TableHoldsSixtyFourAndFreedPlaceIsReused) {
    std::vector<Connection*> made;
    for (int i = 0; i < 64; ++i) made.push_back(make_fake_connection(&socket_));
    for (Connection* c : made) ASSERT_NE(c, nullptr);
    EXPECT_EQ(make_fake_connection(&socket_), nullptr);
    EXPECT_EQ(loop_state().table.count, 64u);
    EXPECT_EQ(loop_state().registered_count, 64u);

    conn_destroy(made[10]);
    Connection* again = make_fake_connection(&socket_);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->slot, 63);
    EXPECT_EQ(loop_state().table.connections[63], again);
}

TEST_F(ConnectionTest, DestroyMovesTheLastEntryIntoTheFreedSlot) {
    Connection* a = make_fake_connection(&socket_);
    Connection* b = make_fake_connection(&socket_);
    Connection* c = make_fake_connection(&socket_);
    conn_destroy(a);
    EXPECT_EQ(loop_state().table.count, 2u);
    EXPECT_EQ(loop_state().table.connections[0], c);
    EXPECT_EQ(c->slot, 0);
    EXPECT_EQ(b->slot, 1);

    conn_destroy(b);  // the last entry: nothing moves
    EXPECT_EQ(loop_state().table.connections[0], c);
    EXPECT_EQ(loop_state().table.count, 1u);
}

TEST_F(ConnectionTest, CreationFailsCleanlyWhenMemoryRunsOut) {
    for (int fail_at = 0; fail_at < 3; ++fail_at) {  // record, input buffer, output buffer
        zv_alloc_fail_after(fail_at);
        EXPECT_EQ(make_fake_connection(&socket_), nullptr) << "allocation " << fail_at;
        EXPECT_EQ(loop_state().table.count, 0u);
        EXPECT_EQ(loop_state().read_set.count, 0u);
    }
}

TEST_F(ConnectionTest, CreationRegistersForReadingAndRecordsKind) {
    Connection* c = make_fake_connection(&socket_, kKindUdpEndpoint, 12390, 0x0302010Au);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(conn_kind(c), kKindUdpEndpoint);
    EXPECT_EQ(c->port, 12390);
    EXPECT_EQ(c->local_addr, 0x0302010Au);
    EXPECT_TRUE(c->flags & kFlagRegistered);
    EXPECT_TRUE(interest_contains(&loop_state().read_set, c->handle));
    EXPECT_EQ(c->in_buf->capacity, 2048);
    EXPECT_EQ(c->out_buf->capacity, 2048);
}

TEST_F(ConnectionTest, MarkingTwiceListsOnceAndDestroysOnce) {
    Connection* c = make_fake_connection(&socket_);
    c->on_destroy = count_destroy;
    destroyed = 0;
    conn_mark_closing(c);
    conn_mark_closing(c);
    EXPECT_EQ(loop_state().close_list.close_count, 1u);
    EXPECT_TRUE(conn_is_closing(c));
    conn_destroy(c);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(socket_.close_calls, 1);
}

TEST_F(ConnectionTest, InterestSetsAreSetsAndMaxHandleNeverFalls) {
    Connection* a = make_fake_connection(&socket_);
    Connection* b = make_fake_connection(&socket_);
    InterestSet& write = loop_state().write_set;
    interest_add(&write, b);
    interest_add(&write, b);
    EXPECT_EQ(write.count, 1u);

    interest_remove(&write, a);  // absent: unchanged
    EXPECT_EQ(write.count, 1u);

    sock_t highest = b->handle;
    EXPECT_EQ(loop_state().max_handle, highest);
    conn_destroy(b);
    EXPECT_FALSE(interest_contains(&write, highest));
    EXPECT_FALSE(interest_contains(&loop_state().read_set, highest));
    EXPECT_EQ(loop_state().max_handle, highest);

    // Removal keeps the order of the remaining handles.
    Connection* c = make_fake_connection(&socket_);
    Connection* d = make_fake_connection(&socket_);
    InterestSet& read = loop_state().read_set;
    interest_remove(&read, c);
    ASSERT_EQ(read.count, 2u);
    EXPECT_EQ(read.handles[0], a->handle);
    EXPECT_EQ(read.handles[1], d->handle);
}

TEST_F(ConnectionTest, DestroyReleasesContextAfterClosing) {
    static int order = 0;
    static int closed_at = -1;
    static int released_at = -1;
    Connection* c = make_fake_connection(&socket_);
    c->close_fn = [](sock_t) {
        closed_at = order++;
        return 0;
    };
    c->on_destroy = [](void* context) {
        released_at = order++;
        EXPECT_EQ(context, reinterpret_cast<void*>(0x1234));
    };
    c->context = reinterpret_cast<void*>(0x1234);
    conn_destroy(c);
    EXPECT_LT(closed_at, released_at);
}

}  // namespace
