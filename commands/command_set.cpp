#include "commands/command_set.h"

#include "commands/device_search.h"
#include "commands/file_commands.h"
#include "commands/registration.h"

namespace {

// Registration order; the command table sorts the rows itself. Only the device search may
// run for a datagram: every other handler answers through its sender's Peer, which a UDP
// endpoint does not have.
constexpr CommandEntry kGatewayCommands[kCommandBatchSize] = {
    {kCodeRegister, register_peer, 0},  {kCodeCreateFile, create_temp_file, 0},
    {kCodeDeleteFile, delete_file, 0},  {kCodeCreateFileNotify, create_temp_file_notify, 0},
    {kCodeDeleteFile2, delete_file, 0}, {kCodeChunkRequest, read_chunk, 0},
    {kCodeChunk, write_chunk, 0},       {kCodeSearch, search_devices, kCommandFromDatagram},
};

}  // namespace

const CommandEntry* gateway_command_batch() {
    return kGatewayCommands;
}
