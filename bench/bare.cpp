// The smallest C++ program linked like the gateway: the floor of resident memory that the
// gateway's figure is compared with. It waits for a line on standard input, so that its
// memory can be read while it runs.
#include <cstdio>

int main() {
    char line[8];
    return std::fgets(line, sizeof line, stdin) == nullptr ? 0 : 0;
}
