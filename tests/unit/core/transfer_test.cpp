#include "core/transfer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/support/fake_transport.h"

namespace {

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_core_state();
        conn_ = make_fake_connection(&socket_);
    }
    void TearDown() override { reset_core_state(); }
    bool watched_for_writing() const {
        return interest_contains(&loop_state().write_set, conn_->handle);
    }
    FakeSocket socket_;
    Connection* conn_ = nullptr;
};

std::string bytes(int n, char first = 'a') {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(first + i % 26));
    return s;
}

TEST(IoBufferTest, AppendMovesPendingBytesOnlyWhenTheyDoNotFit) {
    IoBuffer buffer{};
    buffer.capacity = kBufferCapacity;
    std::string head = bytes(2000);
    ASSERT_EQ(iobuf_append(&buffer, head.data(), 2000), 2000);
    buffer.start = 1000;  // 1000 pending from offset 1000

    ASSERT_EQ(iobuf_append(&buffer, "0123456789", 10), 10);
    EXPECT_EQ(buffer.start, 1000) << "fits behind: nothing moves";

    std::string tail = bytes(100, 'A');
    ASSERT_EQ(iobuf_append(&buffer, tail.data(), 100), 100);
    EXPECT_EQ(buffer.start, 0);
    EXPECT_EQ(buffer.end, 1110);
    EXPECT_EQ(std::string(buffer.data, 1000), head.substr(1000));
    EXPECT_EQ(std::string(buffer.data + 1010, 100), tail);

    std::string too_much = bytes(939);
    EXPECT_EQ(iobuf_append(&buffer, too_much.data(), 939), -1);
    EXPECT_EQ(buffer.end, 1110) << "a failed append stores nothing";
}

TEST_F(TransferTest, SendThatTheSocketTakesWholeQueuesNothing) {
    conn_send(conn_, "hello", 5);
    EXPECT_EQ(socket_.sent, "hello");
    EXPECT_EQ(conn_->out_buf->end, 0);
    EXPECT_FALSE(watched_for_writing());
}

TEST_F(TransferTest, PartialWriteQueuesTheRestAndFlushDrainsIt) {
    std::string data = bytes(300);
    socket_.accept_limit = 100;
    conn_send(conn_, data.data(), 300);
    EXPECT_EQ(socket_.sent, data.substr(0, 100));
    EXPECT_EQ(conn_->out_buf->end - conn_->out_buf->start, 200);
    EXPECT_TRUE(watched_for_writing());

    // Queued bytes keep their place: new output goes behind them, without a write.
    int writes = socket_.write_calls;
    conn_send(conn_, "XYZ", 3);
    EXPECT_EQ(socket_.write_calls, writes);

    socket_.accept_limit = 0;
    conn_flush(conn_);
    EXPECT_EQ(conn_->out_buf->start, 0) << "a write of 0 leaves start where it was";
    socket_.accept_limit = 150;
    conn_flush(conn_);
    EXPECT_EQ(socket_.sent, data + "XYZ");
    EXPECT_EQ(conn_->out_buf->start, 0);
    EXPECT_EQ(conn_->out_buf->end, 0);
    // Drained: no longer watched, so an idle writable socket does not wake the loop.
    EXPECT_FALSE(watched_for_writing());
}

TEST_F(TransferTest, OverflowDropsEverythingQueuedAndKeepsTheConnection) {
    socket_.accept_limit = 0;
    std::string first = bytes(2000);
    conn_send(conn_, first.data(), 2000);
    std::string more = bytes(100);
    conn_send(conn_, more.data(), 100);
    EXPECT_EQ(conn_->out_buf->end, 0);
    EXPECT_EQ(conn_->out_buf->start, 0);
    EXPECT_FALSE(conn_is_closing(conn_));

    socket_.accept_limit = -1;
    conn_flush(conn_);
    EXPECT_EQ(socket_.sent, "") << "none of the 2100 bytes is ever sent";
}

TEST_F(TransferTest, WriteFailureMarksForClosingAndKeepsQueuedBytes) {
    socket_.accept_limit = 2;
    conn_send(conn_, "abcdef", 6);
    socket_.fail_write = true;
    conn_flush(conn_);
    EXPECT_TRUE(conn_is_closing(conn_));
    EXPECT_EQ(conn_->out_buf->end - conn_->out_buf->start, 4);

    reset_core_state();
    FakeSocket other;
    other.fail_write = true;
    Connection* c = make_fake_connection(&other);
    conn_send(c, "x", 1);
    EXPECT_TRUE(conn_is_closing(c));
}

struct HookLog {
    std::vector<std::string> offered;
    std::vector<int> consume;  // what to return on each call; 0 when exhausted
    std::size_t calls = 0;
};
HookLog* hook_log = nullptr;

int scripted_hook(Connection*, InputView* view) {
    hook_log->offered.emplace_back(view->data, static_cast<size_t>(view->length));
    return hook_log->calls < hook_log->consume.size() ? hook_log->consume[hook_log->calls++] : 0;
}

TEST_F(TransferTest, ReadDrainsTheSocketThenOffersUntilTheHookWaits) {
    HookLog log;
    log.consume = {10};
    hook_log = &log;
    conn_->on_frame = scripted_hook;
    socket_.incoming = {bytes(5), bytes(20, 'f')};

    conn_read(conn_);
    ASSERT_EQ(log.offered.size(), 2u);
    EXPECT_EQ(log.offered[0].size(), 25u) << "both reads happen before the hook runs";
    EXPECT_EQ(log.offered[1], (bytes(5) + bytes(20, 'f')).substr(10));
    EXPECT_EQ(conn_->in_buf->start, 0);
    EXPECT_EQ(conn_->in_buf->end, 15);
    EXPECT_EQ(std::string(conn_->in_buf->data, 15), log.offered[1]);
}

TEST_F(TransferTest, NegativeHookOrReadFailureMarksForClosing) {
    HookLog log;
    log.consume = {-1};
    hook_log = &log;
    conn_->on_frame = scripted_hook;
    socket_.incoming = {"abc"};
    conn_read(conn_);
    EXPECT_TRUE(conn_is_closing(conn_));

    // A request followed at once by the peer's close is never offered.
    reset_core_state();
    FakeSocket closing;
    closing.incoming = {"request"};
    closing.fail_read = true;
    Connection* c = make_fake_connection(&closing);
    HookLog none;
    hook_log = &none;
    c->on_frame = scripted_hook;
    conn_read(c);
    EXPECT_TRUE(conn_is_closing(c));
    EXPECT_TRUE(none.offered.empty());
}

TEST_F(TransferTest, StalledStreamKeepsItsBytesDiscardsLaterInputAndNoticesTheClose) {
    HookLog log;
    hook_log = &log;
    conn_->on_frame = scripted_hook;
    std::string full = bytes(2048);
    socket_.incoming = {full, "more"};

    conn_read(conn_);
    EXPECT_EQ(conn_->in_buf->end, 2048);
    EXPECT_FALSE(conn_is_closing(conn_));
    std::size_t offers = log.offered.size();

    // Later input can never be delivered: it is read (so the socket does not stay
    // readable and wake every wait) and thrown away; the 2048 bytes stay as they were.
    socket_.incoming = {"later", "still later"};
    conn_read(conn_);
    EXPECT_TRUE(socket_.incoming.empty());
    EXPECT_EQ(log.offered.size(), offers);
    EXPECT_EQ(std::string(conn_->in_buf->data, 2048), full);
    EXPECT_TRUE(interest_contains(&loop_state().read_set, conn_->handle));

    // It stays writable, and the peer's close ends it.
    conn_send(conn_, "out", 3);
    EXPECT_EQ(socket_.sent, "out");
    socket_.fail_read = true;
    conn_read(conn_);
    EXPECT_TRUE(conn_is_closing(conn_));
}

TEST_F(TransferTest, DatagramEndpointKeepsNothingUnfinishedBetweenReads) {
    FakeSocket udp;
    Connection* endpoint = make_fake_connection(&udp, kKindUdpEndpoint, 12390);
    HookLog log;
    log.consume = {10};
    hook_log = &log;
    endpoint->on_frame = scripted_hook;
    // Two datagrams read in one pass are offered as one run; what is left unfinished
    // after the hook is done is dropped.
    udp.incoming = {bytes(10), bytes(15, 'k')};
    conn_read(endpoint);
    ASSERT_EQ(log.offered.size(), 2u);
    EXPECT_EQ(log.offered[0], bytes(10) + bytes(15, 'k'));
    EXPECT_EQ(endpoint->in_buf->end, 0);

    // A buffer filled with a unit that can never complete does not stop the endpoint.
    udp.incoming = {bytes(1000), bytes(1048)};
    conn_read(endpoint);
    EXPECT_EQ(endpoint->in_buf->end, 0);
    udp.incoming = {bytes(5)};
    conn_read(endpoint);
    EXPECT_EQ(udp.incoming.size(), 0u);
}

}  // namespace
