#include "commands/registration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "commands/device_search.h"
#include "tests/unit/gateway/gateway_fixture.h"

namespace {

class RegistrationTest : public GatewayFixture {
protected:
    void SetUp() override {
        GatewayFixture::SetUp();
        search_clear();
    }
    static void reg(Peer* peer, const char* text) {
        std::string copy(text);
        register_peer(peer, kCodeRegister, static_cast<std::uint32_t>(copy.size()), copy.data());
    }
};

TEST_F(RegistrationTest, RoleIsTheLowFourBitsOfTheLeadingNumber) {
    struct Case {
        const char* text;
        std::uint32_t role;
    } cases[] = {{"3", 3}, {"5", 5}, {"21", 5}, {"18", 2},           {"-1", 15},
                 {"x", 0}, {"", 0},  {" 3", 3}, {"99999999999", 15}, {"2 0 zz", 2}};
    for (const Case& c : cases) {
        FakeSocket socket;
        Peer* p = add_peer(&socket, "10.0.0.5:700");
        p->flags = 0xF0u | 7u;  // other bits must survive
        reg(p, c.text);
        EXPECT_EQ(peer_role(p), c.role) << '"' << c.text << '"';
        EXPECT_EQ(p->flags & ~kRoleMask, 0xF0u) << c.text;
        EXPECT_EQ(socket.sent, bytes("\x00\x0C\x00\x18"
                                     "10.0.0.5:700"))
            << c.text;
        reset_gateway_state();
        name_table_create();
    }
}

TEST_F(RegistrationTest, RoleThreeLearnsOfEveryRoleTwoPeerInListOrder) {
    FakeSocket s1, s2, s0, me;
    add_peer(&s1, "10.0.0.1:1", 2)->name_entry->search_match = 1;
    add_peer(&s0, "10.0.0.3:3", 0);
    add_peer(&s2, "10.0.0.2:2", 2);
    Peer* viewer = add_peer(&me, "10.0.0.9:9");
    reg(viewer, "3");
    EXPECT_EQ(me.sent, bytes("\x00\x0A\x00\x18"
                             "10.0.0.9:9"
                             "\x00\x0C\x00\x1A"
                             "10.0.0.1:1 1"
                             "\x00\x0C\x00\x1A"
                             "10.0.0.2:2 0"));
    EXPECT_EQ(s1.sent + s2.sent + s0.sent, "");
}

TEST_F(RegistrationTest, RoleTwoIsAnnouncedToEveryRoleThreePeer) {
    FakeSocket v1, v2, other, me;
    add_peer(&v1, "10.0.0.1:1", 3);
    add_peer(&other, "10.0.0.3:3", 5);
    add_peer(&v2, "10.0.0.2:2", 3);
    Peer* device = add_peer(&me, "10.0.0.9:9");
    reg(device, "2");
    std::string notice = bytes(
        "\x00\x0C\x00\x1A"
        "10.0.0.9:9 0");
    EXPECT_EQ(v1.sent, notice);
    EXPECT_EQ(v2.sent, notice);
    EXPECT_EQ(other.sent, "");
    EXPECT_EQ(me.sent, bytes("\x00\x0A\x00\x18"
                             "10.0.0.9:9"));
}

TEST_F(RegistrationTest, SameHardwareAddressEvictsTheOlderConnection) {
    FakeSocket sa, sb;
    Peer* a = add_peer(&sa, "10.0.0.1:1");
    Peer* b = add_peer(&sb, "10.0.0.2:2");
    reg(a, "2 0 02:00:00:12:34:56 10.0.0.5");
    EXPECT_FALSE(conn_is_closing(a->connection));
    const std::uint8_t hw[6] = {0x02, 0x00, 0x00, 0x12, 0x34, 0x56};
    EXPECT_EQ(std::memcmp(a->connection->hw_addr, hw, 6), 0);

    // Either case and single digits name the same address.
    reg(b, "2 7 2:0:0:12:34:56");
    EXPECT_TRUE(conn_is_closing(a->connection));
    EXPECT_FALSE(conn_is_closing(b->connection));
    EXPECT_EQ(std::memcmp(b->connection->hw_addr, hw, 6), 0);

    // Registering the same address again from the same connection ends that connection,
    // which still gets its answer.
    sb.sent.clear();
    reg(b, "2 0 02:00:00:12:34:56");
    EXPECT_TRUE(conn_is_closing(b->connection));
    EXPECT_EQ(sb.sent, bytes("\x00\x0A\x00\x18"
                             "10.0.0.2:2"));
}

TEST_F(RegistrationTest, HexDigitsInEitherCaseAreTheSameAddress) {
    FakeSocket sa, sb;
    Peer* a = add_peer(&sa, "10.0.0.1:1");
    Peer* b = add_peer(&sb, "10.0.0.2:2");
    reg(a, "0 0 0a:0b:0c:0d:0e:0f");
    reg(b, "0 0 0A:0B:0C:0D:0E:0F");
    EXPECT_TRUE(conn_is_closing(a->connection));
}

TEST_F(RegistrationTest, IncompleteAddressComparesWithNothingAndRecordsNothing) {
    FakeSocket sa, sb;
    Peer* a = add_peer(&sa, "10.0.0.1:1");
    Peer* b = add_peer(&sb, "10.0.0.2:2");
    reg(a, "2 0 02:00:00:12:34:56");
    reg(b, "2 0 02:00:00:12:34:57");
    reg(b, "2 0 02:00:00:12");  // scan stops after four bytes
    EXPECT_FALSE(conn_is_closing(a->connection));
    const std::uint8_t kept[6] = {0x02, 0x00, 0x00, 0x12, 0x34, 0x57};
    EXPECT_EQ(std::memcmp(b->connection->hw_addr, kept, 6), 0);
    EXPECT_EQ(peer_role(b), 2u);
}

TEST_F(RegistrationTest, AllZeroAddressEvictsNobody) {
    FakeSocket listener_socket, sa, sb;
    Connection* listener = make_fake_connection(&listener_socket, kKindListener, 52554);
    Peer* a = add_peer(&sa, "10.0.0.1:1");  // never registered an address: all zero
    Peer* b = add_peer(&sb, "10.0.0.2:2");
    reg(b, "2 0 00:00:00:00:00:00");
    EXPECT_EQ(loop_state().close_list.close_count, 0u);
    EXPECT_FALSE(conn_is_closing(listener));
    EXPECT_FALSE(conn_is_closing(a->connection));
    EXPECT_FALSE(conn_is_closing(b->connection));
}

TEST_F(RegistrationTest, AddressTextMatchingThePendingSearchMarksThePeer) {
    struct Case {
        const char* target;
        const char* text;
        int match;
    } cases[] = {
        {"10.0.0.5", "2 0 02:00:00:12:34:56 10.0.0.5", 1},
        {"10.0.0.5", "2 0 02:00:00:12:34:56 10.0.0.50", 0},
        {"", "2 0 02:00:00:12:34:56 10.0.0.5", 0},
        {"10.0.0.5", "2 0 02:00:00:12:34 10.0.0.5", 0},  // scan stopped before the text
        {"10.0.0.5", "2 0 02:00:00:12:34:56 10.0.0.5xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 0},
    };
    for (const Case& c : cases) {
        FakeSocket viewer_socket, me;
        add_peer(&viewer_socket, "10.0.0.1:1", 3);
        Peer* device = add_peer(&me, "10.0.0.9:9");
        std::strcpy(search_state().search_target, c.target);
        reg(device, c.text);
        EXPECT_EQ(device->name_entry->search_match, c.match) << c.text;
        std::string notice = c.match ? bytes(
                                           "\x00\x0C\x00\x1A"
                                           "10.0.0.9:9 1")
                                     : bytes(
                                           "\x00\x0C\x00\x1A"
                                           "10.0.0.9:9 0");
        EXPECT_EQ(viewer_socket.sent, notice) << c.text;
        reset_gateway_state();
        name_table_create();
    }
}

}  // namespace
