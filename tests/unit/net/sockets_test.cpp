// Socket primitives over real sockets, inside a private network namespace.
#include "net/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/udp_endpoint.h"
#include "tests/unit/support/fake_transport.h"
#include "tests/unit/support/netns_sandbox.h"

namespace {

class SocketsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!enter_private_netns()) GTEST_SKIP() << "needs root for a private namespace";
        platform::net_start();
        reset_core_state();
    }
    void TearDown() override { reset_core_state(); }
};

std::uint32_t addr(const char* text) {
    return inet_addr(text);
}

// A connected pair: the gateway side made by our primitives, the peer a plain socket.
struct TcpPair {
    sock_t ours = -1;
    int theirs = -1;
    ~TcpPair() {
        if (ours >= 0) close(ours);
        if (theirs >= 0) close(theirs);
    }
};

void connect_pair(TcpPair* pair) {
    sock_t listener = tcp_socket_create();
    ASSERT_NE(listener, kInvalidSocket);
    ASSERT_EQ(socket_bind(listener, addr("127.0.0.1"), 0), 0);
    ASSERT_EQ(listen(listener, 5), 0);
    int port = platform::socket_local_port(listener);

    pair->theirs = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = addr("127.0.0.1");
    ASSERT_EQ(connect(pair->theirs, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    for (int i = 0; i < 200 && pair->ours < 0; ++i) {
        pair->ours = platform::socket_accept(listener, nullptr);
        if (pair->ours < 0) usleep(5000);
    }
    ASSERT_GE(pair->ours, 0);
    ASSERT_EQ(platform::socket_set_nonblocking(pair->ours), 0);
    close(listener);
}

TEST_F(SocketsTest, TcpRecvReadsWouldBlockAsNothingAndPeerCloseAsFailure) {
    TcpPair pair;
    connect_pair(&pair);
    char buffer[64];
    EXPECT_EQ(tcp_recv(pair.ours, buffer, sizeof buffer, nullptr), 0);

    ASSERT_EQ(write(pair.theirs, "abc", 3), 3);
    int n = 0;
    for (int i = 0; i < 200 && n == 0; ++i) {
        n = tcp_recv(pair.ours, buffer, sizeof buffer, nullptr);
        if (n == 0) usleep(2000);
    }
    EXPECT_EQ(n, 3);

    close(pair.theirs);
    pair.theirs = -1;
    for (int i = 0; i < 200 && n >= 0; ++i) {
        n = tcp_recv(pair.ours, buffer, sizeof buffer, nullptr);
        if (n == 0) usleep(2000);
    }
    EXPECT_EQ(n, -1);
}

TEST_F(SocketsTest, TcpSendIntoAFullBufferReturnsZeroAndResetPeerFailsWithoutSignal) {
    TcpPair pair;
    connect_pair(&pair);
    std::string chunk(65536, 'x');
    int result = 1;
    for (int i = 0; i < 10000 && result > 0; ++i) {
        result = tcp_send(pair.ours, chunk.data(), static_cast<int>(chunk.size()), nullptr);
    }
    EXPECT_EQ(result, 0) << "a full send buffer is 'nothing now', not failure";

    // The peer resets the connection: sending fails (-1) and the process lives on.
    linger hard{1, 0};
    setsockopt(pair.theirs, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(pair.theirs);
    pair.theirs = -1;
    for (int i = 0; i < 200 && result >= 0; ++i) {
        result = tcp_send(pair.ours, "y", 1, nullptr);
        if (result >= 0) usleep(2000);
    }
    EXPECT_EQ(result, -1);
}

TEST_F(SocketsTest, UdpSocketStartsTowardsBroadcastOnAnySystemPort) {
    SockAddrIn remote{};
    std::memset(&remote, 0xAB, sizeof remote);
    sock_t handle = udp_socket_create(nullptr, &remote, addr("127.0.0.1"), 12390);
    ASSERT_NE(handle, kInvalidSocket);
    EXPECT_EQ(remote.family, kAfInet);
    EXPECT_EQ(ntohs(remote.port), 12390);
    EXPECT_EQ(remote.addr, 0xFFFFFFFFu);
    for (unsigned char b : remote.zero) EXPECT_EQ(b, 0);
    int port = platform::socket_local_port(handle);
    EXPECT_GT(port, 0);
    EXPECT_NE(port, 12390);
    close(handle);

    // Binding to an address the host does not have fails and leaves no socket.
    EXPECT_EQ(udp_socket_create("10.0.0.1", &remote, addr("10.99.99.99"), 12390), kInvalidSocket);
}

struct UdpPeer {
    int fd;
    int port;
};

UdpPeer udp_peer() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = addr("127.0.0.1");
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    timeval wait{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return UdpPeer{fd, ntohs(local.sin_port)};
}

void send_to_port(int fd, const std::string& data, int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = addr("127.0.0.1");
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

TEST_F(SocketsTest, UdpEndpointAdoptsSenderDropsOversizedAndNeverWaits) {
    EndpointDescriptor descriptor{};
    sock_t handle = udp_socket_create("127.0.0.1", &descriptor.remote_addr, addr("127.0.0.1"), 9);
    ASSERT_NE(handle, kInvalidSocket);
    ConnectionHooks none{};
    Connection* endpoint = udp_endpoint_create(handle, &none, &descriptor);
    ASSERT_NE(endpoint, nullptr);
    int our_port = platform::socket_local_port(handle);

    char buffer[64];
    EXPECT_EQ(udp_recv(handle, buffer, sizeof buffer, endpoint), 0) << "no datagram: no wait";

    UdpPeer peer = udp_peer();
    send_to_port(peer.fd, std::string(100, 'L'), our_port);  // larger than the space
    send_to_port(peer.fd, "", our_port);                     // empty
    send_to_port(peer.fd, "hello", our_port);
    usleep(20000);
    EXPECT_EQ(udp_recv(handle, buffer, 50, endpoint), 0) << "oversized: dropped whole";
    EXPECT_EQ(udp_recv(handle, buffer, 50, endpoint), 0) << "empty datagram";
    ASSERT_EQ(udp_recv(handle, buffer, 50, endpoint), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    // The endpoint now sends to whoever sent last.
    SockAddrIn* remote = endpoint_remote_addr(endpoint);
    EXPECT_EQ(ntohs(remote->port), peer.port);
    EXPECT_EQ(udp_send(handle, "back", 4, endpoint), 4);
    char reply[16] = {};
    EXPECT_EQ(recv(peer.fd, reply, sizeof reply, 0), 4);
    EXPECT_STREQ(reply, "back");
    close(peer.fd);
}

TEST_F(SocketsTest, WaitHandlesDescriptorsAboveTheSelectLimit) {
    // select's fd_set holds descriptors below 1024 only; the wait must serve any.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 2100) {
        limit.rlim_cur = limit.rlim_max < 2100 ? limit.rlim_max : 2100;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < 2100) GTEST_SKIP() << "cannot open descriptors above 2048";

    SockAddrIn remote{};
    sock_t made = udp_socket_create(nullptr, &remote, addr("127.0.0.1"), 9);
    ASSERT_NE(made, kInvalidSocket);
    const sock_t high = 2050;
    ASSERT_EQ(dup2(made, high), high);
    close(made);
    int port = platform::socket_local_port(high);

    InterestSet read{};
    InterestSet write{};
    read.handles[read.count++] = high;
    EXPECT_EQ(platform::wait_ready(&read, &write, high, WaitTimeout{0, 1000}), 0);

    UdpPeer peer = udp_peer();
    send_to_port(peer.fd, "wake", port);
    read = InterestSet{};
    read.handles[read.count++] = high;
    write.handles[write.count++] = high;
    ASSERT_EQ(platform::wait_ready(&read, &write, high, WaitTimeout{2, 0}), 2);
    EXPECT_EQ(read.count, 1u);
    EXPECT_EQ(read.handles[0], high);
    EXPECT_EQ(write.handles[0], high);
    close(high);
    close(peer.fd);
}

}  // namespace
