#include <cstring>
#include <vector>

#include "core/transfer.h"
#include "gateway_fixture.h"

namespace {

// What a handler saw while it ran.
struct Call {
    int handler;
    Peer* peer;
    Peer peer_copy;
    std::uint32_t code;
    std::uint32_t length;
    std::string payload;  // length bytes
    char terminator;      // payload[length] during the call
};

std::vector<Call> calls;

template <int Id>
void record(Peer* peer, std::uint32_t code, std::uint32_t length, char* payload) {
    Call call{Id, peer, Peer{}, code, length, std::string(payload, length), payload[length]};
    if (peer != nullptr) call.peer_copy = *peer;
    calls.push_back(call);
}
constexpr CommandHandler kFirst = record<1>;
constexpr CommandHandler kSecond = record<2>;

class CommandTableTest : public GatewayFixture {
protected:
    void SetUp() override {
        GatewayFixture::SetUp();
        calls.clear();
    }
    static std::vector<std::uint32_t> codes() {
        std::vector<std::uint32_t> out;
        for (int i = 0; i < command_count(); ++i) out.push_back(command_rows()[i].code);
        return out;
    }
};

// The gateway's batch, in the order start-up registers it.
const CommandEntry kBatch[kCommandBatchSize] = {
    {25, kFirst, 0},  {191, kFirst, 0}, {197, kFirst, 0}, {202, kFirst, 0},
    {205, kFirst, 0}, {193, kFirst, 0}, {194, kFirst, 0}, {22, kFirst, kCommandFromDatagram},
};

TEST_F(CommandTableTest, EmptyTableFindsNothing) {
    EXPECT_EQ(command_count(), 0);
    EXPECT_EQ(find_command(0), -1);
    EXPECT_EQ(find_command(25), -1);
}

TEST_F(CommandTableTest, GatewayBatchIsHeldSortedAndFound) {
    EXPECT_EQ(register_commands(kBatch), 8);
    EXPECT_EQ(codes(), (std::vector<std::uint32_t>{22, 25, 191, 193, 194, 197, 202, 205}));

    const std::pair<std::uint32_t, int> lookups[] = {
        {22, 0},  {25, 1},  {191, 2}, {193, 3}, {194, 4},  {197, 5},  {202, 6},
        {205, 7}, {24, -1}, {0, -1},  {21, -1}, {192, -1}, {206, -1}, {65535, -1},
    };
    for (auto [code, index] : lookups) EXPECT_EQ(find_command(code), index) << code;
    EXPECT_EQ(command_rows()[0].flags, kCommandFromDatagram);
}

TEST_F(CommandTableTest, RepeatedBatchAddsNothingAndKeepsHandlers) {
    ASSERT_EQ(register_commands(kBatch), 8);
    CommandEntry again[kCommandBatchSize];
    for (int i = 0; i < kCommandBatchSize; ++i) again[i] = {kBatch[i].code, kSecond, 0};
    EXPECT_EQ(register_commands(again), 0);
    EXPECT_EQ(command_count(), 8);
    for (int i = 0; i < command_count(); ++i) EXPECT_EQ(command_rows()[i].handler, kFirst);
}

TEST_F(CommandTableTest, DuplicatesKeepTheFirstRow) {
    const CommandEntry first[kCommandBatchSize] = {
        {30, kFirst, 0},  {10, kFirst, 0}, {30, kSecond, 0}, {20, kFirst, 0},
        {10, kSecond, 0}, {40, kFirst, 0}, {50, kFirst, 0},  {5, kFirst, 0},
    };
    EXPECT_EQ(register_commands(first), 6);
    EXPECT_EQ(codes(), (std::vector<std::uint32_t>{5, 10, 20, 30, 40, 50}));
    EXPECT_EQ(command_rows()[find_command(30)].handler, kFirst);
    EXPECT_EQ(command_rows()[find_command(10)].handler, kFirst);

    // One code already registered: that row is skipped, the count is one less.
    const CommandEntry second[kCommandBatchSize] = {
        {1, kSecond, 0},  {2, kSecond, 0},  {40, kSecond, 0}, {60, kSecond, 0},
        {70, kSecond, 0}, {80, kSecond, 0}, {90, kSecond, 0}, {99, kSecond, 0},
    };
    EXPECT_EQ(register_commands(second), 7);
    EXPECT_EQ(command_count(), 13);
    EXPECT_EQ(command_rows()[find_command(40)].handler, kFirst);
    EXPECT_EQ(command_rows()[find_command(99)].handler, kSecond);
}

TEST_F(CommandTableTest, CodesCompareUnsigned) {
    const CommandEntry rows[kCommandBatchSize] = {
        {0xFFFFFFFFu, kFirst, 0}, {1, kFirst, 0},           {0x80000000u, kFirst, 0},
        {0x7FFFFFFFu, kFirst, 0}, {0, kFirst, 0},           {0x80000001u, kFirst, 0},
        {65535, kFirst, 0},       {0xFFFFFFFEu, kFirst, 0},
    };
    ASSERT_EQ(register_commands(rows), 8);
    EXPECT_EQ(codes(), (std::vector<std::uint32_t>{0, 1, 65535, 0x7FFFFFFFu, 0x80000000u,
                                                   0x80000001u, 0xFFFFFFFEu, 0xFFFFFFFFu}));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(find_command(codes()[i]), i);
    EXPECT_EQ(find_command(0x90000000u), -1);
}

// The search has boundary exits at every step; check every table size that a sequence of
// batches can build, with every present code and the gaps around them.
TEST_F(CommandTableTest, SearchFindsEveryRowForEverySize) {
    for (int size = 1; size <= 16; ++size) {
        SCOPED_TRACE(size);
        free_commands();
        // Codes 10, 20, ... registered in descending order; repeats pad the batches.
        std::vector<CommandEntry> all;
        for (int i = size; i >= 1; --i) {
            all.push_back({static_cast<std::uint32_t>(i * 10), kFirst, 0});
        }
        while (all.size() % kCommandBatchSize != 0) all.push_back(all.back());
        for (std::size_t b = 0; b < all.size(); b += kCommandBatchSize) {
            register_commands(&all[b]);
        }
        ASSERT_EQ(command_count(), size);
        for (int i = 0; i < size; ++i) {
            std::uint32_t code = static_cast<std::uint32_t>((i + 1) * 10);
            EXPECT_EQ(find_command(code), i) << code;
            EXPECT_EQ(find_command(code - 1), -1) << code - 1;
            EXPECT_EQ(find_command(code + 1), -1) << code + 1;
        }
        EXPECT_EQ(find_command(0), -1);
    }
}

TEST_F(CommandTableTest, FailedResizeLeavesTableAsItWas) {
    zv_alloc_fail_after(0);
    EXPECT_EQ(register_commands(kBatch), 0);
    EXPECT_EQ(command_count(), 0);

    ASSERT_EQ(register_commands(kBatch), 8);
    const CommandEntry more[kCommandBatchSize] = {
        {1, kSecond, 0}, {2, kSecond, 0}, {3, kSecond, 0}, {4, kSecond, 0},
        {5, kSecond, 0}, {6, kSecond, 0}, {7, kSecond, 0}, {8, kSecond, 0},
    };
    zv_alloc_fail_after(0);
    EXPECT_EQ(register_commands(more), 0);
    EXPECT_EQ(command_count(), 8);
    EXPECT_EQ(find_command(22), 0);
}

TEST(CommandFrameHeader, WritesBigEndianLengthAndCode) {
    char out[4];
    frame_write_header(out, 0x07FC, 0x00AE);
    EXPECT_EQ(std::string(out, 4), bytes("\x07\xFC\x00\xAE"));
    frame_write_header(out, 0, 0xFFFF);
    EXPECT_EQ(std::string(out, 4), bytes("\x00\x00\xFF\xFF"));
}

// ---------------------------------------------------------------------------------------

class DispatchTest : public CommandTableTest {
protected:
    void SetUp() override {
        CommandTableTest::SetUp();
        ASSERT_EQ(register_commands(kBatch), 8);
        client = make_fake_connection(&client_socket);
        ASSERT_NE(client, nullptr);
    }

    // Offers bytes the way the read loop does: from the front, one call per frame, with
    // one extra byte after them that belongs to the buffer but not to the input.
    std::vector<int> offer(std::string& input, void* context, Connection* connection) {
        std::vector<int> results;
        input.push_back('Z');
        int start = 0;
        const int end = static_cast<int>(input.size()) - 1;
        while (start < end) {
            InputView view{input.data() + start, end - start, -7, context};
            int used = dispatch_frame(connection, &view);
            EXPECT_EQ(view.consumed, used);
            results.push_back(used);
            if (used <= 0) break;
            start += used;
        }
        input.pop_back();
        return results;
    }

    FakeSocket client_socket;
    Connection* client = nullptr;
    Peer sender{};  // stands in for the client's Peer where no relay is involved
};

TEST_F(DispatchTest, PartialHeaderConsumesNothing) {
    const std::string frame = bytes(
        "\x00\x02\x00\x19"
        "ab");
    for (std::size_t have = 0; have < 4; ++have) {
        SCOPED_TRACE(have);
        std::string input = frame.substr(0, have);
        InputView view{input.data(), static_cast<std::int32_t>(have), -7, &sender};
        EXPECT_EQ(dispatch_frame(client, &view), 0);
        EXPECT_EQ(view.consumed, 0);
    }
    EXPECT_TRUE(calls.empty());
}

TEST_F(DispatchTest, PartialPayloadWaitsForTheLastByte) {
    std::string input = bytes(
        "\x00\x0A\x00\x19"
        "012345678");
    EXPECT_EQ(offer(input, &sender, client), std::vector<int>{0});
    EXPECT_TRUE(calls.empty());

    input += "9";
    EXPECT_EQ(offer(input, &sender, client), std::vector<int>{14});
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].peer, &sender);
    EXPECT_EQ(calls[0].code, 25u);
    EXPECT_EQ(calls[0].length, 10u);
    EXPECT_EQ(calls[0].payload, "0123456789");
}

TEST_F(DispatchTest, FramesInOneBufferRunInOrderWithTheNextByteRestored) {
    std::string input = bytes(
        "\x00\x03\x00\xC1"
        "one"
        "\x00\x03\x00\x16"
        "two"
        "\x00\x00\x00\xC5"
        "\x00\x05\x00\xC2");  // the last one is incomplete
    const std::string original = input;
    EXPECT_EQ(offer(input, &sender, client), (std::vector<int>{7, 7, 4, 0}));
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].code, 193u);
    EXPECT_EQ(calls[0].payload, "one");
    EXPECT_EQ(calls[0].terminator, '\0');  // the next frame's first byte, while it ran
    EXPECT_EQ(calls[1].code, 22u);         // its header was intact afterwards
    EXPECT_EQ(calls[1].payload, "two");
    EXPECT_EQ(calls[2].code, 197u);
    EXPECT_EQ(calls[2].length, 0u);  // an empty text
    EXPECT_EQ(calls[2].terminator, '\0');
    EXPECT_EQ(input, original);
}

TEST_F(DispatchTest, ByteAfterTheInputIsTerminatedThenRestored) {
    std::string input = bytes(
        "\x00\x02\x00\x19"
        "ab"
        "Q");
    InputView view{input.data(), 6, 0, &sender};
    EXPECT_EQ(dispatch_frame(client, &view), 6);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].terminator, '\0');
    EXPECT_EQ(input[6], 'Q');
}

TEST_F(DispatchTest, NulInsideThePayloadKeepsTheFullLength) {
    std::string input = bytes(
        "\x00\x05\x00\x19"
        "ab\0cd");
    EXPECT_EQ(offer(input, &sender, client), std::vector<int>{9});
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].length, 5u);
    EXPECT_EQ(calls[0].payload, bytes("ab\0cd"));
}

// A frame that fills the whole input buffer is terminated in the buffer's spare byte.
TEST_F(DispatchTest, FullBufferFrameUsesTheSpareByte) {
    IoBuffer* in = client->in_buf;
    std::memcpy(in->data, "\x07\xFC\x00\x19", 4);
    std::memset(in->data + 4, 'x', kMaxFramePayload);
    in->spare = 'S';
    InputView view{in->data, kBufferCapacity, 0, &sender};
    EXPECT_EQ(dispatch_frame(client, &view), 2048);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].length, 2044u);
    EXPECT_EQ(calls[0].terminator, '\0');
    EXPECT_EQ(in->spare, 'S');
}

// Through the real read loop: a frame arriving in pieces is dispatched once, whole.
TEST_F(DispatchTest, FrameSplitAcrossReadsIsDispatchedOnce) {
    client->on_frame = dispatch_frame;
    client->context = &sender;
    client_socket.incoming = {bytes("\x00"), bytes("\x03\x00")};
    conn_read(client);
    EXPECT_TRUE(calls.empty());
    client_socket.incoming = {bytes("\x19"
                                    "ab"),
                              bytes("c\x00\x01\x00\xC1"
                                    "z\x00")};
    conn_read(client);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].payload, "abc");
    EXPECT_EQ(calls[1].code, 193u);
    EXPECT_EQ(calls[1].payload, "z");
    EXPECT_EQ(client->in_buf->end - client->in_buf->start, 1);  // the lone next byte waits
}

TEST_F(DispatchTest, UnregisteredCodesAreRelayedAndConsumed) {
    FakeSocket sender_socket;
    FakeSocket target_socket;
    Peer* from = add_peer(&sender_socket, "10.0.0.5:700");
    ASSERT_NE(add_peer(&target_socket, "10.0.0.9:80"), nullptr);
    ASSERT_NE(from, nullptr);

    const std::pair<std::string, std::string> cases[] = {
        {bytes("\x00\x0D\x00\x00"
               "10.0.0.9:80 a"),
         bytes("\x00\x0E\x00\x00"
               "10.0.0.5:700 a")},
        {bytes("\x00\x0D\x00\x17"
               "10.0.0.9:80 b"),
         bytes("\x00\x0E\x00\x17"
               "10.0.0.5:700 b")},
        {bytes("\x00\x0D\xFF\xFF"
               "10.0.0.9:80 c"),
         bytes("\x00\x0E\xFF\xFF"
               "10.0.0.5:700 c")},
    };
    for (const auto& [frame, relayed] : cases) {
        std::string input = frame;
        target_socket.sent.clear();
        EXPECT_EQ(offer(input, from, from->connection), std::vector<int>{17});
        EXPECT_EQ(target_socket.sent, relayed);
    }
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(sender_socket.sent.empty());
}

TEST_F(DispatchTest, BeforeAnyRegistrationEveryCodeIsRelayed) {
    free_commands();
    FakeSocket sender_socket;
    FakeSocket target_socket;
    Peer* from = add_peer(&sender_socket, "10.0.0.5:700");
    ASSERT_NE(add_peer(&target_socket, "10.0.0.9:80"), nullptr);
    std::string input = bytes(
        "\x00\x0B\x00\x19"
        "10.0.0.9:80");
    EXPECT_EQ(offer(input, from, from->connection), std::vector<int>{15});
    EXPECT_EQ(target_socket.sent, bytes("\x00\x0C\x00\x19"
                                        "10.0.0.5:700"));
}

// A datagram's context is the endpoint's address slot, never a Peer: only datagram rows
// run, with a stand-in Peer; everything else is consumed and dropped, never relayed.
TEST_F(DispatchTest, DatagramsRunOnlyDatagramRowsWithATransientPeer) {
    FakeSocket endpoint_socket;
    FakeSocket target_socket;
    Connection* endpoint =
        make_fake_connection(&endpoint_socket, kKindUdpEndpoint, 5000, 0x0100000A);
    ASSERT_NE(endpoint, nullptr);
    ASSERT_NE(add_peer(&target_socket, "10.0.0.9:80"), nullptr);
    std::uint32_t address_slot = 0x0500000A;  // what an endpoint's context points at

    std::string input = bytes(
        "\x00\x08\x00\x16"
        "10.0.0.7"  // 22: runs
        "\x00\x01\x00\x19"
        "3"  // 25: not for datagrams
        "\x00\x0D\x01\x00"
        "10.0.0.9:80 x");  // unregistered
    EXPECT_EQ(offer(input, &address_slot, endpoint), (std::vector<int>{12, 5, 17}));

    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, 22u);
    EXPECT_EQ(calls[0].payload, "10.0.0.7");
    EXPECT_NE(static_cast<void*>(calls[0].peer), static_cast<void*>(&address_slot));
    EXPECT_EQ(calls[0].peer_copy.connection, endpoint);
    EXPECT_EQ(calls[0].peer_copy.index, 0);
    EXPECT_EQ(calls[0].peer_copy.name_entry, nullptr);
    EXPECT_EQ(calls[0].peer_copy.flags, 0u);
    EXPECT_TRUE(target_socket.sent.empty());
    EXPECT_TRUE(endpoint_socket.sent.empty());
    EXPECT_EQ(address_slot, 0x0500000Au);
}

TEST_F(DispatchTest, FramesWithoutAPeerAreDropped) {
    FakeSocket target_socket;
    ASSERT_NE(add_peer(&target_socket, "10.0.0.9:80"), nullptr);
    std::string input = bytes(
        "\x00\x01\x00\x19"
        "3"
        "\x00\x0D\x01\x00"
        "10.0.0.9:80 x");
    EXPECT_EQ(offer(input, nullptr, client), (std::vector<int>{5, 17}));

    // Only a client's context is ever taken for a Peer.
    FakeSocket listener_socket;
    Connection* listener = make_fake_connection(&listener_socket, kKindListener);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(offer(input, &sender, listener), (std::vector<int>{5, 17}));

    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(target_socket.sent.empty());
    EXPECT_TRUE(client_socket.sent.empty());
}

}  // namespace
