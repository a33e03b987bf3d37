#include <cstring>
#include <memory>
#include <vector>

#include "gateway_fixture.h"
#include "net/listener.h"

namespace {

using PeerTest = GatewayFixture;

ClientEndpointInfo client_info(std::uint16_t port, unsigned char a, unsigned char b,
                               unsigned char c, unsigned char d) {
    ClientEndpointInfo info{};
    info.port = port;
    const unsigned char octets[4] = {a, b, c, d};  // network order: first octet first
    std::memcpy(&info.addr_net, octets, 4);
    return info;
}

TEST_F(PeerTest, OpenNamesThePeerAfterAddressAndPort) {
    struct Case {
        ClientEndpointInfo info;
        const char* name;
    };
    const Case cases[] = {
        {client_info(700, 10, 0, 0, 5), "10.0.0.5:700"},
        {client_info(65535, 255, 255, 255, 255), "255.255.255.255:65535"},
        {client_info(0, 0, 0, 0, 0), "0.0.0.0:0"},
        {client_info(52554, 192, 168, 1, 200), "192.168.1.200:52554"},
    };
    FakeSocket socket;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connection* connection = make_fake_connection(&socket);
        std::memcpy(connection->endpoint_info, &c.info, sizeof(c.info));
        std::int32_t timer_ms = 0;
        auto* peer =
            static_cast<Peer*>(peer_open(connection, connection->endpoint_info, &timer_ms));
        ASSERT_NE(peer, nullptr);
        EXPECT_STREQ(peer_name(peer), c.name);
        EXPECT_EQ(name_lookup(c.name), peer->name_entry);
        EXPECT_EQ(peer->name_entry->peer, peer);
        EXPECT_EQ(peer->connection, connection);
        EXPECT_EQ(peer_role(peer), 0u);
        EXPECT_EQ(timer_ms, 0);
        EXPECT_FALSE(conn_is_closing(connection));
    }
    EXPECT_EQ(peer_list().count, 4);
}

TEST_F(PeerTest, ListGrowsByEightAndIndexesMatchSlots) {
    FakeSocket socket;
    EXPECT_EQ(peer_list().capacity, 0);
    const std::int32_t expected_capacity[] = {8, 8, 8, 8, 8, 8, 8, 8, 16, 16};
    for (int i = 0; i < 10; ++i) {
        std::string name = "10.0.0." + std::to_string(i) + ":1";
        ASSERT_NE(add_peer(&socket, name.c_str()), nullptr);
        EXPECT_EQ(peer_list().capacity, expected_capacity[i]) << i;
    }
    PeerList& list = peer_list();
    EXPECT_EQ(list.count, 10);
    for (int i = 0; i < list.count; ++i) EXPECT_EQ(list.items[i]->index, i);
}

TEST_F(PeerTest, TakenNameClosesTheNewcomerOnly) {
    FakeSocket socket;
    Peer* first = add_peer(&socket, "10.0.0.5:700");
    ASSERT_NE(first, nullptr);
    Connection* second = make_fake_connection(&socket);
    EXPECT_EQ(peer_create(second, "10.0.0.5:700"), nullptr);
    EXPECT_TRUE(conn_is_closing(second));
    EXPECT_FALSE(conn_is_closing(first->connection));
    EXPECT_EQ(peer_list().count, 1);
    EXPECT_EQ(peer_list().items[0], first);
    EXPECT_EQ(name_lookup("10.0.0.5:700")->peer, first);
    EXPECT_EQ(name_table()->entry_count, 1);
}

TEST_F(PeerTest, AllocationFailureClosesTheConnection) {
    struct Case {
        const char* what;
        int failing;  // allocation that fails, counted from the list's growth
        std::int32_t capacity;
    };
    const Case cases[] = {
        {"list cannot grow", 0, 0}, {"peer record", 1, 8}, {"name entry", 2, 8},
        {"name copy", 3, 8},        {"chain node", 4, 8},
    };
    FakeSocket socket;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset_gateway_state();
        name_table_create();
        Connection* connection = make_fake_connection(&socket);
        zv_alloc_fail_after(c.failing);
        EXPECT_EQ(peer_create(connection, "10.0.0.5:700"), nullptr);
        zv_alloc_fail_after(-1);
        EXPECT_TRUE(conn_is_closing(connection));
        EXPECT_EQ(peer_list().count, 0);
        EXPECT_EQ(peer_list().capacity, c.capacity);
        EXPECT_EQ(name_lookup("10.0.0.5:700"), nullptr);
    }
}

TEST_F(PeerTest, DestroyMovesTheLastPeerIntoTheHole) {
    FakeSocket socket;
    Peer* p = add_peer(&socket, "p:1");
    Peer* q = add_peer(&socket, "q:1");
    Peer* r = add_peer(&socket, "r:1");
    ASSERT_TRUE(p && q && r);

    peer_destroy(p);
    PeerList& list = peer_list();
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(list.items[0], r);
    EXPECT_EQ(r->index, 0);
    EXPECT_EQ(list.items[1], q);
    EXPECT_EQ(q->index, 1);
    EXPECT_EQ(name_lookup("p:1"), nullptr);
    EXPECT_EQ(name_table()->entry_count, 2);

    peer_destroy(q);  // the last slot: nothing moves
    ASSERT_EQ(list.count, 1);
    EXPECT_EQ(list.items[0], r);
    EXPECT_EQ(r->index, 0);
    EXPECT_EQ(list.capacity, 8);  // never shrinks

    peer_destroy(nullptr);
    EXPECT_EQ(list.count, 1);
}

TEST_F(PeerTest, ConnectionDestructionRemovesItsPeer) {
    FakeSocket socket;
    Peer* peer = add_peer(&socket, "10.0.0.5:700");
    ASSERT_NE(peer, nullptr);
    peer->connection->context = peer;
    peer->connection->on_destroy = peer_destroy;
    conn_destroy(peer->connection);
    EXPECT_EQ(peer_list().count, 0);
    EXPECT_EQ(name_lookup("10.0.0.5:700"), nullptr);
}

// Each peer has its own socket so that who received what can be told apart.
class PeerDepartureTest : public GatewayFixture {
protected:
    Peer* add(const char* name, std::uint32_t role) {
        sockets.push_back(std::make_unique<FakeSocket>());
        Peer* peer = add_peer(sockets.back().get(), name, role);
        socket_of.push_back({peer, sockets.back().get()});
        return peer;
    }
    const std::string& sent_to(const Peer* peer) const {
        for (const auto& [p, s] : socket_of) {
            if (p == peer) return s->sent;
        }
        static const std::string none = "<unknown peer>";
        return none;
    }
    std::vector<std::unique_ptr<FakeSocket>> sockets;
    std::vector<std::pair<const Peer*, FakeSocket*>> socket_of;
};

TEST_F(PeerDepartureTest, RoleTwoLeavingNotifiesRoleThreePeersOnly) {
    Peer* watcher_a = add("10.0.0.1:1", 3);
    Peer* departing = add("10.0.0.2:2", 2);
    Peer* plain = add("10.0.0.3:3", 0);
    Peer* watcher_b = add("10.0.0.4:4", 3);
    Peer* device = add("10.0.0.6:6", 2);
    ASSERT_TRUE(watcher_a && departing && plain && watcher_b && device);

    const std::string notice = bytes(
        "\x00\x0A\x00\xAE"
        "10.0.0.2:2");
    peer_destroy(departing);
    EXPECT_EQ(sent_to(watcher_a), notice);
    EXPECT_EQ(sent_to(watcher_b), notice);
    EXPECT_EQ(sent_to(plain), "");
    EXPECT_EQ(sent_to(device), "");
    EXPECT_EQ(sent_to(departing), "");  // already off the list
}

TEST_F(PeerDepartureTest, OtherRolesLeaveSilently) {
    Peer* watcher = add("10.0.0.1:1", 3);
    Peer* other_watcher = add("10.0.0.2:2", 3);
    Peer* plain = add("10.0.0.3:3", 0);
    Peer* role_one = add("10.0.0.4:4", 1);
    ASSERT_TRUE(watcher && other_watcher && plain && role_one);
    peer_destroy(other_watcher);
    peer_destroy(plain);
    peer_destroy(role_one);
    EXPECT_EQ(sent_to(watcher), "");
}

TEST_F(PeerDepartureTest, RoleBitsAloneDecide) {
    Peer* watcher = add("10.0.0.1:1", 0x13);  // role 3 with a higher bit set
    Peer* departing = add("10.0.0.2:2", 0x22);
    ASSERT_TRUE(watcher && departing);
    peer_destroy(departing);
    EXPECT_EQ(sent_to(watcher), bytes("\x00\x0A\x00\xAE"
                                      "10.0.0.2:2"));
}

// The exit sweep takes slot 0 each time; the last peer moves there, so the order of the
// notices follows the list as it stands after each removal.
TEST_F(PeerDepartureTest, ReleaseAllEmptiesTheListWithNotices) {
    Peer* first_device = add("d:1", 2);
    Peer* watcher = add("w:1", 3);
    Peer* second_device = add("e:1", 2);
    Peer* plain = add("z:1", 0);
    ASSERT_TRUE(first_device && watcher && second_device && plain);
    std::vector<Connection*> connections;
    for (Peer* p : {first_device, watcher, second_device, plain}) {
        connections.push_back(p->connection);
    }
    const std::string* watcher_sent = &sent_to(watcher);

    peers_release_all();
    EXPECT_EQ(*watcher_sent, bytes("\x00\x03\x00\xAE"
                                   "d:1"
                                   "\x00\x03\x00\xAE"
                                   "e:1"));
    EXPECT_EQ(peer_list().count, 0);
    EXPECT_EQ(peer_list().capacity, 8);
    EXPECT_EQ(name_table()->entry_count, 0);
    for (Connection* connection : connections) EXPECT_FALSE(conn_is_closing(connection));

    peers_release_all();  // nothing left: harmless
    EXPECT_EQ(peer_list().count, 0);
}

}  // namespace
