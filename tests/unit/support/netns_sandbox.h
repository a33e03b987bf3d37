// Moves the calling test process into a private network namespace of its own, with only
// a loopback interface that is up. Every real-socket unit test calls this first, so
// nothing it sends can leave the process's own namespace.
#pragma once

// False when the process may not create namespaces (not root); the test then skips.
bool enter_private_netns();

// Adds an IPv4 address (dotted text, prefix length) to the loopback interface of the
// private namespace, e.g. to give a test several local addresses.
bool add_loopback_address(const char* address, int prefix);
