#include "netns_sandbox.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

bool enter_private_netns() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

bool add_loopback_address(const char* address, int prefix) {
    // iproute2 acts on the namespace of the process that runs it: this one's.
    std::string command = "ip addr add " + std::string(address) + "/" + std::to_string(prefix) +
                          " dev lo 2>/dev/null";
    return std::system(command.c_str()) == 0;
}
