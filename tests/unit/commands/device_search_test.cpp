// The pending search's state and the endpoint hooks. The datagrams themselves are checked
// end to end, in namespaces; here the search runs inside a private namespace with only a
// loopback interface, so nothing it sends can leave the test process's namespace.
#include "commands/device_search.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/gateway_start.h"
#include "net/udp_endpoint.h"
#include "tests/unit/gateway/gateway_fixture.h"
#include "tests/unit/support/netns_sandbox.h"

namespace {

class DeviceSearchTest : public GatewayFixture {
protected:
    void SetUp() override {
        GatewayFixture::SetUp();
        search_clear();
        local_address_list_reset();
    }
    static void search(const char* text) {
        std::string copy(text);
        search_devices(nullptr, kCodeSearch, static_cast<std::uint32_t>(copy.size()), copy.data());
    }
    static std::string target() { return search_state().search_target; }
};

TEST_F(DeviceSearchTest, FirstWordBecomesTheTargetAndEverySearchResetsTheAge) {
    if (!enter_private_netns()) GTEST_SKIP() << "needs root for a private namespace";
    search("  10.0.0.5 and more words");
    EXPECT_EQ(target(), "10.0.0.5");
    EXPECT_EQ(search_state().search_age, 0);

    search_state().search_age = 1;
    search("x");  // too short to replace the target, but the age starts again
    EXPECT_EQ(target(), "10.0.0.5");
    EXPECT_EQ(search_state().search_age, 0);

    search_state().search_age = 1;
    search("");
    EXPECT_EQ(target(), "10.0.0.5");
    EXPECT_EQ(search_state().search_age, 0);

    // A word that cannot be an address and does not fit changes nothing at all.
    search_state().search_age = 1;
    search("12345678901234567890");
    EXPECT_EQ(target(), "10.0.0.5");
    EXPECT_EQ(search_state().search_age, 1);

    search("1234567890123456789");  // 19 characters fit
    EXPECT_EQ(target(), "1234567890123456789");
}

TEST_F(DeviceSearchTest, EndpointOpenAsksForTenSecondsClearsTheSearchAndPointsAtItsSlot) {
    std::strcpy(search_state().search_target, "10.0.0.5");
    search_state().search_age = 1;
    EndpointDescriptor descriptor{};
    descriptor.address_slot = 5;
    std::int32_t timer_ms = 0;
    void* context = endpoint_open(nullptr, &descriptor, &timer_ms);
    EXPECT_EQ(timer_ms, 10000);
    EXPECT_EQ(context, &local_address_list().slots[5]);
    EXPECT_EQ(target(), "");
    EXPECT_EQ(search_state().search_age, 0);
}

TEST_F(DeviceSearchTest, TickAnnouncesTheSlotsCurrentAddressAndAgesTheSearch) {
    FakeSocket socket;
    Connection* endpoint = make_fake_connection(&socket, kKindUdpEndpoint, 12390, 0);
    std::uint32_t& slot = local_address_list().slots[1];
    slot = 0x0302010Au;  // 10.1.2.3 in network order
    InputView view{nullptr, 0, 0, &slot};
    std::strcpy(search_state().search_target, "10.0.0.5");

    endpoint_tick(endpoint, &view);
    EXPECT_EQ(socket.sent, bytes("\x00\x08\x00\x17"
                                 "10.1.2.3"));
    EXPECT_EQ(target(), "10.0.0.5") << "the first tick leaves the target";
    EXPECT_EQ(search_state().search_age, 1);

    slot = 0x090010ACu;  // rewritten to 172.16.0.9: the next announcement carries it
    endpoint_tick(endpoint, &view);
    EXPECT_EQ(socket.sent.substr(12), bytes("\x00\x0A\x00\x17"
                                            "172.16.0.9"));
    EXPECT_EQ(target(), "") << "the second tick drops it";
}

}  // namespace
