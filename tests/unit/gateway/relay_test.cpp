#include "gateway_fixture.h"

namespace {

class ReplyTest : public GatewayFixture {
protected:
    void SetUp() override {
        GatewayFixture::SetUp();
        peer = add_peer(&socket, "10.0.0.5:7");
        ASSERT_NE(peer, nullptr);
    }
    FakeSocket socket;
    Peer* peer = nullptr;
};

TEST_F(ReplyTest, WritesHeaderAndFormattedText) {
    send_reply(peer, 174, "%s", "10.0.0.5:7");
    EXPECT_EQ(socket.sent, bytes("\x00\x0A\x00\xAE"
                                 "10.0.0.5:7"));
    socket.sent.clear();

    send_reply(peer, 24, "%d %s", 42, "x");
    EXPECT_EQ(socket.sent, bytes("\x00\x04\x00\x18"
                                 "42 x"));
    socket.sent.clear();

    send_reply(peer, 24, "%s", "");
    EXPECT_EQ(socket.sent, bytes("\x00\x00\x00\x18"));
    socket.sent.clear();

    send_reply(peer, 0x1ABCD, "%s", "z");  // only the low 16 bits of the code
    EXPECT_EQ(socket.sent, bytes("\x00\x01\xAB\xCD"
                                 "z"));
}

TEST_F(ReplyTest, LongTextIsCutAt2044Bytes) {
    struct Case {
        std::size_t text;
        std::string header;
        std::size_t payload;
    };
    const Case cases[] = {
        {2043, bytes("\x07\xFB\x00\x18"), 2043},
        {2044, bytes("\x07\xFC\x00\x18"), 2044},
        {2045, bytes("\x07\xFC\x00\x18"), 2044},
        {5000, bytes("\x07\xFC\x00\x18"), 2044},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        socket.sent.clear();
        std::string text(c.text, 'x');
        text[0] = 'A';  // the cut keeps the front
        send_reply(peer, 24, "%s", text.c_str());
        EXPECT_EQ(socket.sent, c.header + text.substr(0, c.payload));
    }
}

TEST_F(ReplyTest, TransientPeerNeedsOnlyAConnection) {
    FakeSocket endpoint_socket;
    Peer transient{};
    transient.connection = make_fake_connection(&endpoint_socket, kKindUdpEndpoint);
    ASSERT_NE(transient.connection, nullptr);
    send_reply(&transient, 23, "%s", "10.1.2.3");
    EXPECT_EQ(endpoint_socket.sent, bytes("\x00\x08\x00\x17"
                                          "10.1.2.3"));

    Peer unconnected{};
    send_reply(&unconnected, 23, "%s", "x");
    send_reply(nullptr, 23, "%s", "x");
    EXPECT_TRUE(socket.sent.empty());
}

// ---------------------------------------------------------------------------------------

enum Receiver { kNobody, kTarget, kSender, kQuoted, kCased };

class RelayTest : public GatewayFixture {
protected:
    void SetUp() override {
        GatewayFixture::SetUp();
        sender = add_peer(&sender_socket, "10.0.0.5:700");
        ASSERT_NE(sender, nullptr);
        ASSERT_NE(add_peer(&target_socket, "10.0.0.9:80"), nullptr);
        ASSERT_NE(add_peer(&quoted_socket, "my dev"), nullptr);
        ASSERT_NE(add_peer(&cased_socket, "Alpha:1"), nullptr);
    }

    // Calls the relay as the dispatcher does: the payload NUL-terminated at its length.
    void relay(const std::string& payload, std::uint32_t code = 300) {
        std::string text = payload;
        relay_frame(sender, code, static_cast<std::uint32_t>(text.size()), text.data());
    }

    void clear() {
        for (FakeSocket* s : {&sender_socket, &target_socket, &quoted_socket, &cased_socket}) {
            s->sent.clear();
        }
    }

    Peer* sender = nullptr;
    FakeSocket sender_socket;
    FakeSocket target_socket;
    FakeSocket quoted_socket;
    FakeSocket cased_socket;
};

struct RelayCase {
    const char* name;
    std::string payload;
    Receiver receiver;
    std::string expected;
};

TEST_F(RelayTest, ExactBytes) {
    // Sender 10.0.0.5:700 (12 characters); code 300 is 01 2C.
    const std::string just_sender = bytes(
        "\x00\x0C\x01\x2C"
        "10.0.0.5:700");
    const std::string ab = bytes(
        "\x00\x10\x01\x2C"
        "10.0.0.5:700 a b");
    const std::string x = bytes(
        "\x00\x0E\x01\x2C"
        "10.0.0.5:700 x");
    const RelayCase cases[] = {
        {"one blank", "10.0.0.9:80 a b", kTarget, ab},
        {"blanks and a tab", "10.0.0.9:80  \ta b", kTarget, ab},
        {"leading white space", " \t10.0.0.9:80 a b", kTarget, ab},
        {"rest reaches the target unchanged", "10.0.0.9:80 a \"q r\"\tz\r\n", kTarget,
         bytes("\x00\x18\x01\x2C"
               "10.0.0.5:700 a \"q r\"\tz\r\n")},
        {"target alone", "10.0.0.9:80", kTarget, just_sender},
        {"target and blanks", "10.0.0.9:80   ", kTarget, just_sender},
        {"target and CR LF", "10.0.0.9:80\r\n", kTarget, just_sender},
        {"quoted target", "\"10.0.0.9:80\" x", kTarget, x},
        {"quoted target with a blank", "\"my dev\" x", kQuoted, x},
        {"character right after the closing quote", "\"10.0.0.9:80\"x", kTarget, x},
        {"unclosed quote around the whole name", "\"10.0.0.9:80", kTarget, just_sender},
        {"unclosed quote taking more text", "\"10.0.0.9:80 x", kNobody, ""},
        {"unknown name", "10.0.0.9:81 x", kNobody, ""},
        {"name in other letter case", "alpha:1 x", kNobody, ""},
        {"name in listed letter case", "Alpha:1 x", kCased, x},
        {"empty payload", "", kNobody, ""},
        {"blank payload", " \t ", kNobody, ""},
        {"line end only", "\r\n", kNobody, ""},
        {"sender naming itself", "10.0.0.5:700 hi", kSender,
         bytes("\x00\x0F\x01\x2C"
               "10.0.0.5:700 hi")},
        {"NUL right after the target", bytes("10.0.0.9:80\0tail"), kTarget, just_sender},
        {"blank and NUL after the target", bytes("10.0.0.9:80 \0tail"), kTarget, just_sender},
        {"NUL inside the rest", bytes("10.0.0.9:80 a\0b"), kTarget,
         bytes("\x00\x10\x01\x2C"
               "10.0.0.5:700 a\0b")},
    };
    for (const RelayCase& c : cases) {
        SCOPED_TRACE(c.name);
        clear();
        relay(c.payload);
        EXPECT_EQ(target_socket.sent, c.receiver == kTarget ? c.expected : "");
        EXPECT_EQ(sender_socket.sent, c.receiver == kSender ? c.expected : "");
        EXPECT_EQ(quoted_socket.sent, c.receiver == kQuoted ? c.expected : "");
        EXPECT_EQ(cased_socket.sent, c.receiver == kCased ? c.expected : "");
    }
}

TEST_F(RelayTest, CodeIsKeptAsReceived) {
    for (std::uint32_t code : {0u, 23u, 65535u}) {
        clear();
        relay("10.0.0.9:80", code);
        std::string header = bytes("\x00\x0C");
        header += static_cast<char>(code >> 8);
        header += static_cast<char>(code & 0xFF);
        EXPECT_EQ(target_socket.sent, header + "10.0.0.5:700") << code;
    }
}

// 12 characters of sender name and a blank leave 2031 bytes for the rest.
TEST_F(RelayTest, PayloadBeyond2044IsDroppedWhole) {
    const std::string target = "10.0.0.9:80 ";
    std::string rest(2031, 'r');
    rest[0] = '<';
    rest.back() = '>';
    relay(target + rest);
    EXPECT_EQ(target_socket.sent, bytes("\x07\xFC\x01\x2C"
                                        "10.0.0.5:700 ") +
                                      rest);

    clear();
    relay(target + rest + "!");  // 2045 bytes relayed
    EXPECT_TRUE(target_socket.sent.empty());

    // The largest receivable payload with a one-letter target overflows by 11 bytes.
    FakeSocket short_socket;
    ASSERT_NE(add_peer(&short_socket, "t"), nullptr);
    relay("t " + std::string(kMaxFramePayload - 2, 'q'));
    EXPECT_TRUE(short_socket.sent.empty());
    EXPECT_TRUE(sender_socket.sent.empty());
}

TEST_F(RelayTest, SenderWithoutANameRelaysNothing) {
    std::string text = "10.0.0.9:80 x";
    relay_frame(nullptr, 300, static_cast<std::uint32_t>(text.size()), text.data());
    Peer transient{};
    transient.connection = sender->connection;
    relay_frame(&transient, 300, static_cast<std::uint32_t>(text.size()), text.data());
    EXPECT_TRUE(target_socket.sent.empty());
}

}  // namespace
