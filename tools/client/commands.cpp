#include "tools/client/commands.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tools/client/cli.h"
#include "tools/client/connection.h"
#include "tools/client/frame_codec.h"
#include "tools/client/progress.h"
#include "tools/client/requests.h"

namespace zvc {
namespace {

struct Context {
    const Invocation& inv;
    const char* name;  // the subcommand, for messages
};

int report(const Context& ctx, const std::string& message) {
    std::fprintf(stderr, "quorvel-client: %s: %s\n", ctx.name, message.c_str());
    return kExitFailure;
}

// Turns a failed exchange into its message and status 1.
int report(const Context& ctx, const ClientConnection& connection, const Result& result) {
    switch (result.outcome) {
        case Outcome::Ok:
            return kExitOk;
        case Outcome::Io:
            return report(ctx, describe(connection, result.io, ctx.inv.options.timeout_ms));
        case Outcome::GatewayError:
            return report(ctx, "the gateway answered 999 to " + result.message);
        case Outcome::Protocol:
        case Outcome::Local:
            return report(ctx, result.message);
    }
    return kExitFailure;
}

bool open_connection(const Context& ctx, ClientConnection* connection) {
    std::string error;
    if (client_connect(connection, ctx.inv.options.host, ctx.inv.options.port,
                       ctx.inv.options.timeout_ms, &error)) {
        return true;
    }
    report(ctx, error);
    return false;
}

void print_frame_line(const Frame& frame) {
    if (frame.payload.empty()) {
        std::printf("%u\n", frame.code);
    } else {
        std::printf("%u %s\n", frame.code, escape_payload(frame.payload).c_str());
    }
    // Lines go to other programs as they come, not when a buffer fills.
    std::fflush(stdout);
}

// Waits without a limit; the connection ending is a failure, as nothing else ends it.
int print_frames_forever(const Context& ctx, ClientConnection* connection, bool notices_only,
                         std::int64_t count) {
    Frame frame;
    std::int64_t printed = 0;
    while (count < 0 || printed < count) {
        const IoStatus status = client_recv_frame(connection, &frame, -1);
        if (status != IoStatus::Ok) return report(ctx, describe(*connection, status, -1));
        if (notices_only && frame.code != kCodeNotice && frame.code != kCodeDeparture) continue;
        print_frame_line(frame);
        ++printed;
    }
    return kExitOk;
}

int run_register(const Context& ctx, ClientConnection* connection) {
    const auto& ops = ctx.inv.operands;
    const std::string text = ops.size() == 1 ? ops[0] : ops[0] + " 0 " + ops[1] + " " + ops[2];
    const Result result = register_peer(connection, text, ctx.inv.options.timeout_ms);
    if (result.outcome != Outcome::Ok) return report(ctx, *connection, result);
    std::printf("%s\n", result.name.c_str());
    std::fflush(stdout);
    if (ctx.inv.options.once) return kExitOk;
    return print_frames_forever(ctx, connection, true, -1);
}

int run_listen(const Context& ctx, ClientConnection* connection) {
    const Result result =
        register_peer(connection, std::to_string(ctx.inv.options.role), ctx.inv.options.timeout_ms);
    if (result.outcome != Outcome::Ok) return report(ctx, *connection, result);
    std::fprintf(stderr, "listening as %s\n", result.name.c_str());
    return print_frames_forever(ctx, connection, false, ctx.inv.options.count);
}

int run_send(const Context& ctx, ClientConnection* connection) {
    const auto& ops = ctx.inv.operands;
    std::string payload = ops[1];
    for (std::size_t i = 2; i < ops.size(); ++i) payload += " " + ops[i];
    std::uint64_t code = 0;
    parse_unsigned(ops[0], 65535, &code);
    const int timeout = ctx.inv.options.timeout_ms;
    // The frame and a role-0 registration go out together; the registration's answer shows
    // that the gateway has dispatched the frame. A reply of the target may come before or
    // after that answer.
    std::string bytes = encode_frame(static_cast<std::uint16_t>(code), payload);
    append_frame(&bytes, kCodeRegister, "0");
    IoStatus status = client_send(connection, bytes, timeout);
    bool synced = false;
    bool replied = !ctx.inv.options.reply;
    Frame frame;
    while (status == IoStatus::Ok && !(synced && replied)) {
        status = client_recv_frame(connection, &frame, timeout);
        if (status != IoStatus::Ok) break;
        if (frame.code == kCodeRegistered && !synced) {
            synced = true;
        } else if (!replied) {
            print_frame_line(frame);
            replied = true;
        }
    }
    if (status != IoStatus::Ok) return report(ctx, describe(*connection, status, timeout));
    return kExitOk;
}

int run_search(const Context& ctx, ClientConnection* connection) {
    const int timeout = ctx.inv.options.timeout_ms;
    const IoStatus status =
        client_send_frame(connection, kCodeSearch, ctx.inv.operands[0], timeout);
    if (status != IoStatus::Ok) return report(ctx, describe(*connection, status, timeout));
    const Result synced = sync_with_gateway(connection, timeout);
    return report(ctx, *connection, synced);
}

int run_delete(const Context& ctx, ClientConnection* connection) {
    const Result result =
        delete_remote(connection, ctx.inv.operands[0], ctx.inv.options.timeout_ms);
    return report(ctx, *connection, result);
}

void draw_progress(void* bar, std::uint64_t bytes, std::int64_t total) {
    progress_update(static_cast<ProgressBar*>(bar), bytes, total);
}

std::string base_name(const std::string& path) {
    const std::size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

int run_get(const Context& ctx, ClientConnection* connection) {
    const std::string& remote = ctx.inv.operands[0];
    const std::string& local = ctx.inv.operands[1];
    const bool to_stdout = local == "-";
    // A failed download leaves an existing LOCAL as it was.
    const std::string partial = local + ".part";
    std::FILE* sink = to_stdout ? stdout : std::fopen(partial.c_str(), "wb");
    if (sink == nullptr) return report(ctx, "cannot create '" + partial + "'");

    ProgressBar bar = progress_start(stderr, ctx.inv.options.quiet);
    const TransferNames names{remote, base_name(local), remote};
    Result result = download(connection, names, sink, ctx.inv.options.window,
                             ctx.inv.options.timeout_ms, draw_progress, &bar);
    if (result.outcome == Outcome::Ok && std::fflush(sink) != 0) {
        result.outcome = Outcome::Local;
        result.message = "cannot write the local file";
    }
    if (!to_stdout && std::fclose(sink) != 0 && result.outcome == Outcome::Ok) {
        result.outcome = Outcome::Local;
        result.message = "cannot write '" + partial + "'";
    }
    if (result.outcome != Outcome::Ok) {
        progress_clear(&bar);
        if (!to_stdout) std::remove(partial.c_str());
        // The gateway answers nothing for a file it cannot read.
        if (result.outcome == Outcome::Io && result.io == IoStatus::TimedOut && result.bytes == 0) {
            return report(ctx, describe(*connection, result.io, ctx.inv.options.timeout_ms) +
                                   ": '" + remote +
                                   "' is missing or refused (peers on other machines may name "
                                   "only plain files in the gateway's working directory)");
        }
        return report(ctx, *connection, result);
    }
    progress_finish(&bar, result.bytes, static_cast<std::int64_t>(result.bytes));
    if (!to_stdout) {
        // rename does not replace an existing file everywhere.
        std::remove(local.c_str());
        if (std::rename(partial.c_str(), local.c_str()) != 0) {
            return report(ctx, "cannot rename '" + partial + "' to '" + local + "'");
        }
    }
    return kExitOk;
}

int run_put(const Context& ctx, ClientConnection* connection) {
    const std::string& local = ctx.inv.operands[0];
    const bool from_stdin = local == "-";
    std::FILE* source = from_stdin ? stdin : std::fopen(local.c_str(), "rb");
    if (source == nullptr) return report(ctx, "cannot open '" + local + "'");
    std::int64_t total = -1;
    if (!from_stdin) {
        std::error_code failed;
        const std::filesystem::path path(local);
        if (std::filesystem::is_regular_file(path, failed)) {
            const auto size = std::filesystem::file_size(path, failed);
            if (!failed) total = static_cast<std::int64_t>(size);
        }
    }
    ProgressBar bar = progress_start(stderr, ctx.inv.options.quiet);
    const std::string label = from_stdin ? "stdin" : base_name(local);
    const Result result =
        upload(connection, label, source, total, ctx.inv.options.timeout_ms, draw_progress, &bar);
    if (!from_stdin) std::fclose(source);
    if (result.outcome != Outcome::Ok) {
        progress_clear(&bar);
        const int status = report(ctx, *connection, result);
        if (!result.name.empty()) {
            std::fprintf(stderr, "quorvel-client: put: gateway file %s is incomplete\n",
                         result.name.c_str());
        }
        return status;
    }
    progress_finish(&bar, result.bytes, total);
    std::printf("%s\n", result.name.c_str());
    return kExitOk;
}

}  // namespace

int run_client(int argc, const char* const* argv) {
    Invocation inv;
    std::string error;
    if (!parse_command_line(argc, argv, &inv, &error)) {
        const char* name = command_name(inv.command);
        std::fprintf(stderr, "quorvel-client: %s%s%s\n", name, *name != '\0' ? ": " : "",
                     error.c_str());
        std::fprintf(stderr, "Try 'quorvel-client %s%s--help'.\n", name, *name != '\0' ? " " : "");
        return kExitUsage;
    }
    if (inv.options.help) {
        std::fputs(usage_text(inv.command).c_str(), stdout);
        return kExitOk;
    }
    platform::binary_stdio();
    const Context ctx{inv, command_name(inv.command)};
    ClientConnection connection;
    if (!open_connection(ctx, &connection)) return kExitFailure;
    int status = kExitFailure;
    switch (inv.command) {
        case Command::Register:
            status = run_register(ctx, &connection);
            break;
        case Command::Send:
            status = run_send(ctx, &connection);
            break;
        case Command::Listen:
            status = run_listen(ctx, &connection);
            break;
        case Command::Search:
            status = run_search(ctx, &connection);
            break;
        case Command::Get:
            status = run_get(ctx, &connection);
            break;
        case Command::Put:
            status = run_put(ctx, &connection);
            break;
        case Command::Delete:
            status = run_delete(ctx, &connection);
            break;
        case Command::None:
            break;
    }
    client_close(&connection);
    return status;
}

}  // namespace zvc
