// The listener over real TCP sockets, driven by real loop passes, inside a private
// network namespace.
#include "net/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/event_loop.h"
#include "tests/unit/support/fake_transport.h"
#include "tests/unit/support/netns_sandbox.h"

namespace {

struct Opened {
    std::uint16_t port;
    std::uint32_t addr_net;
    std::uint32_t peer_addr;
};
std::vector<Opened> opened;

void* record_open(Connection* connection, const void* info, std::int32_t* timer_ms) {
    auto* client = static_cast<const ClientEndpointInfo*>(info);
    opened.push_back({client->port, client->addr_net, connection->peer_addr});
    EXPECT_EQ(*timer_ms, 0);
    return connection;
}
int consume(Connection*, InputView* view) {
    return view->length;
}

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!enter_private_netns()) GTEST_SKIP() << "needs root for a private namespace";
        platform::net_start();
        reset_core_state();
        opened.clear();
    }
    void TearDown() override {
        for (int fd : clients_) close(fd);
        reset_core_state();
    }

    Connection* listen_with(std::uint16_t limit, std::uint32_t mask) {
        ListenerConfig config{0, limit, mask};
        // Port 0 would give a random port; take a fixed one inside the private namespace.
        config.port = 52554;
        ConnectionHooks hooks{record_open, consume, nullptr, nullptr};
        return listener_create(&config, &hooks);
    }
    int connect_from(const char* source) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr(source);
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(52554);
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        clients_.push_back(fd);
        return fd;
    }
    static bool pass() { return event_loop_pass(Application{nullptr, nullptr}); }
    // True when the peer side sees the connection closed within a bounded time.
    static bool closed_by_gateway(int fd) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return false;
        char c;
        return recv(fd, &c, 1, 0) == 0;
    }
    std::vector<int> clients_;
};

TEST_F(ListenerTest, AcceptsOneClientPerPassAndNamesItsAddressAndPort) {
    ASSERT_NE(listen_with(0, 0), nullptr);
    for (int i = 0; i < 5; ++i) connect_from("127.0.0.1");
    for (std::uint32_t expected = 2; expected <= 6; ++expected) {
        pass();
        EXPECT_EQ(loop_state().table.count, expected);
    }
    ASSERT_EQ(opened.size(), 5u);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(clients_[0], reinterpret_cast<sockaddr*>(&local), &length);
    EXPECT_EQ(opened[0].port, ntohs(local.sin_port));
    EXPECT_EQ(opened[0].addr_net, inet_addr("127.0.0.1"));
    EXPECT_EQ(opened[0].peer_addr, 0x7F000001u) << "peer_addr is in host order";
    for (std::uint32_t i = 1; i < loop_state().table.count; ++i) {
        EXPECT_EQ(conn_kind(loop_state().table.connections[i]), kKindClient);
    }
}

TEST_F(ListenerTest, FullTableClosesNewClientsAndRecovers) {
    ASSERT_NE(listen_with(0, 0), nullptr);
    for (int i = 0; i < 63; ++i) {
        connect_from("127.0.0.1");
        pass();
    }
    ASSERT_EQ(loop_state().table.count, 64u);

    int extra = connect_from("127.0.0.1");
    pass();
    EXPECT_TRUE(closed_by_gateway(extra));
    EXPECT_EQ(loop_state().table.count, 64u);

    close(clients_[0]);  // one client leaves: read as failure, reaped at the end of the pass
    clients_.erase(clients_.begin());
    for (int i = 0; i < 5 && loop_state().table.count == 64; ++i) pass();
    EXPECT_EQ(loop_state().table.count, 63u);
    int again = connect_from("127.0.0.1");
    pass();
    EXPECT_EQ(loop_state().table.count, 64u);
    (void)again;
}

TEST_F(ListenerTest, AddressMaskAdmitsMatchingBytesOnly) {
    // 127.0.0.2 in host order: the top byte must be 127 and the lowest 2; zero bytes of
    // the mask match anything.
    ASSERT_NE(listen_with(0, 0x7F000002u), nullptr);
    int good = connect_from("127.0.0.2");
    pass();
    int bad = connect_from("127.0.5.3");
    pass();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].peer_addr, 0x7F000002u);
    EXPECT_TRUE(closed_by_gateway(bad));
    EXPECT_EQ(loop_state().table.count, 2u);
    (void)good;
}

TEST_F(ListenerTest, ClientLimitClosesClientsBeyondIt) {
    ASSERT_NE(listen_with(2, 0), nullptr);
    connect_from("127.0.0.1");
    pass();
    connect_from("127.0.0.1");
    pass();
    int third = connect_from("127.0.0.1");
    pass();
    EXPECT_TRUE(closed_by_gateway(third));
    EXPECT_EQ(opened.size(), 2u);
}

TEST_F(ListenerTest, SeveralClientsFromOneAddressAreAllServed) {
    // Admission names a second client from one address but turns nobody away, and every
    // client socket is non-blocking (a blocking one would hang the read loop).
    ASSERT_NE(listen_with(0, 0), nullptr);
    int a = connect_from("127.0.0.9");
    int b = connect_from("127.0.0.9");
    pass();
    pass();
    EXPECT_EQ(opened.size(), 2u);
    EXPECT_EQ(admission_check(0x7F000009u), 0);
    EXPECT_EQ(admission_check(0x7F00000Au), 1);
    ASSERT_EQ(write(a, "x", 1), 1);
    ASSERT_EQ(write(b, "y", 1), 1);
    pass();  // reads both without blocking
    EXPECT_EQ(loop_state().table.count, 3u);
}

TEST_F(ListenerTest, PortAlreadyTakenGivesNoListener) {
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(52554);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    EXPECT_EQ(listen_with(0, 0), nullptr);
    EXPECT_EQ(loop_state().table.count, 0u);
    close(holder);
}

}  // namespace
