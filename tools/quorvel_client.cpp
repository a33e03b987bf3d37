// quorvel-client: the command-line client of the gateway. See `quorvel-client --help`.
#include "tools/client/commands.h"

int main(int argc, char** argv) {
    return zvc::run_client(argc, argv);
}
