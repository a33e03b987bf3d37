#include "gateway/frame.h"

#include "core/alloc.h"
#include "gateway/peer.h"

namespace {

struct CommandTable {
    CommandEntry* rows;
    std::int32_t count;
};

CommandTable commands{};

std::uint32_t read_be16(const char* bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return (static_cast<std::uint32_t>(b[0]) << 8) | b[1];
}

// Runs one cut-out frame. Only a client's context is a Peer; a UDP endpoint's context is
// its address slot, so datagrams reach only the rows meant for them, with a stand-in
// Peer that carries nothing but the endpoint's connection. Everything else that cannot be
// given a real sender is dropped: handlers and the relay always get a Peer.
void run_frame(Connection* connection, void* context, std::uint32_t code, std::uint32_t length,
               char* payload) {
    if (connection == nullptr) return;
    int row = find_command(code);
    ConnKind kind = conn_kind(connection);

    if (kind == kKindUdpEndpoint) {
        if (row < 0 || (commands.rows[row].flags & kCommandFromDatagram) == 0) return;
        Peer transient{};
        transient.connection = connection;
        commands.rows[row].handler(&transient, code, length, payload);
        return;
    }
    if (kind != kKindClient || context == nullptr) return;

    auto* sender = static_cast<Peer*>(context);
    if (row < 0) {
        relay_frame(sender, code, length, payload);
    } else {
        commands.rows[row].handler(sender, code, length, payload);
    }
}

}  // namespace

int dispatch_frame(Connection* connection, InputView* view) {
    view->consumed = 0;
    if (view->length < kFrameHeaderSize) return 0;
    std::uint32_t length = read_be16(view->data);
    std::int32_t size = static_cast<std::int32_t>(length) + kFrameHeaderSize;
    if (size > view->length) return 0;
    std::uint32_t code = read_be16(view->data + 2);
    char* payload = view->data + kFrameHeaderSize;

    // Terminate the payload in place for the text functions of the handlers. The byte may
    // belong to the next frame, or be the buffer's spare byte when this frame fills it.
    char saved = payload[length];
    payload[length] = '\0';
    run_frame(connection, view->context, code, length, payload);
    payload[length] = saved;

    view->consumed = size;
    return size;
}

int register_commands(const CommandEntry* rows) {
    std::int32_t n = commands.count;
    auto* grown = static_cast<CommandEntry*>(zv_realloc(
        commands.rows, static_cast<std::size_t>(n + kCommandBatchSize) * sizeof(CommandEntry)));
    if (grown == nullptr) return 0;
    commands.rows = grown;

    int added = 0;
    for (int r = 0; r < kCommandBatchSize; ++r) {
        // Searched against the growing table, so a code repeated within one batch keeps
        // its first row.
        if (find_command(rows[r].code) >= 0) continue;
        std::int32_t p = commands.count;
        while (p > 0 && rows[r].code < commands.rows[p - 1].code) {
            commands.rows[p] = commands.rows[p - 1];
            --p;
        }
        commands.rows[p] = rows[r];
        ++commands.count;
        ++added;
    }
    return added;
}

int find_command(std::uint32_t code) {
    if (commands.count == 0) return -1;
    std::int32_t lo = 0;
    std::int32_t hi = commands.count - 1;
    for (;;) {
        std::int32_t mid = (lo + hi) / 2;
        std::uint32_t here = commands.rows[mid].code;
        if (here == code) return mid;
        if (lo == hi) return -1;
        if (code < here) {
            if (mid == lo) return -1;
            hi = mid - 1;
        } else {
            if (mid == hi) return -1;
            lo = mid + 1;
        }
    }
}

const CommandEntry* command_rows() {
    return commands.rows;
}

int command_count() {
    return commands.count;
}

void free_commands() {
    zv_free(commands.rows);
    commands = {};
}

void frame_write_header(char* out, std::uint32_t length, std::uint32_t code) {
    out[0] = static_cast<char>((length >> 8) & 0xFFu);
    out[1] = static_cast<char>(length & 0xFFu);
    out[2] = static_cast<char>((code >> 8) & 0xFFu);
    out[3] = static_cast<char>(code & 0xFFu);
}
