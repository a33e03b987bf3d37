// Quorvel: the gateway program. Console; no options, no configuration; exit status 0.
#include "commands/command_set.h"
#include "commands/device_search.h"
#include "core/event_loop.h"
#include "gateway/frame.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"
#include "net/gateway_start.h"

namespace {

// Every endpoint creation offers the batch again; codes already present are skipped.
void register_gateway_commands() {
    register_commands(gateway_command_batch());
}

int app_init(int, char**) {
    name_table_create();  // an absent table is survivable: names then store and find nothing
    GatewaySetup setup{};
    setup.listener_hooks = ConnectionHooks{peer_open, dispatch_frame, nullptr, peer_destroy};
    setup.endpoint_hooks = ConnectionHooks{endpoint_open, dispatch_frame, endpoint_tick, nullptr};
    setup.endpoint_created = register_gateway_commands;
    return gateway_start(&setup) == 0 ? 0 : -1;
}

void refresh(LoopState* state) {
    refresh_local_endpoints(state);
}

}  // namespace

int main(int argc, char** argv) {
    event_loop_run(Application{app_init, refresh}, argc, argv);
    peers_release_all();
    free_commands();
    return 0;
}
