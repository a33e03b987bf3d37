// The file service. Every command opens its file, does one seek and one read or write, and
// closes it before answering: no transfer state is kept, the offsets travel in the frames.
#include "commands/file_commands.h"

#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/transfer.h"
#include "gateway/args.h"
#include "gateway/frame.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"

namespace {

constexpr int kCreateArgs = 4;
constexpr int kDeleteArgs = 2;
constexpr int kChunkRequestArgs = 8;
constexpr int kCounterNameSize = 12;  // "-2147483648" and a NUL
constexpr std::uint32_t kLoopbackNet = 127;

// The first six positions of both chunk commands and of every frame they send.
struct TransferArgs {
    const char* partner;
    const char* name_a;
    const char* name_b;
    const char* file;
    const char* mode;
    const char* selector;
};

TransferArgs transfer_args(char* const* args) {
    return {args[0], args[1], args[2], args[3], args[4], args[5]};
}

// Decimal text as the C library's atoi reads it (white space, an optional sign, digits; no
// digits give 0), but 64 bits wide and stuck at the limits instead of overflowing: offsets
// may pass 2 GiB, and a hostile digit string must not wrap into a plausible value.
std::int64_t decimal_value(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text)) != 0) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    const std::uint64_t limit = negative ? static_cast<std::uint64_t>(INT64_MAX) + 1u
                                         : static_cast<std::uint64_t>(INT64_MAX);
    std::uint64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const auto digit = static_cast<std::uint64_t>(*text - '0');
        if (magnitude > (limit - digit) / 10u) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * 10u + digit;
    }
    if (!negative) return static_cast<std::int64_t>(magnitude);
    return magnitude == limit ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
}

bool is_mode_2(const char* mode) {
    return decimal_value(mode) == 2;
}

// fseek takes a long, which is 32 bits on Windows; both C libraries we build against offer
// this 64-bit variant, so a transfer can go on past 2 GiB there too.
int seek_from_start(std::FILE* file, std::int64_t offset) {
    return fseeko64(file, offset, SEEK_SET);
}

Peer* find_partner(const char* name) {
    NameEntry* entry = name_lookup(name);
    return entry == nullptr ? nullptr : entry->peer;
}

// Formats one frame of at most 2044 text bytes and hands it to the connection. Unlike
// send_reply it never cuts: a text that does not fit is not sent at all.
[[gnu::format(printf, 3, 4)]] void send_whole_frame(Connection* connection, std::uint32_t code,
                                                    const char* format, ...) {
    char frame[kFrameHeaderSize + kMaxFramePayload + 1];
    std::va_list values;
    va_start(values, format);
    const int length =
        std::vsnprintf(frame + kFrameHeaderSize, kMaxFramePayload + 1, format, values);
    va_end(values);
    if (length < 0 || length > kMaxFramePayload) return;
    frame_write_header(frame, static_cast<std::uint32_t>(length), code);
    conn_send(connection, frame, kFrameHeaderSize + length);
}

// Takes the counter's value as the name whether or not the file can then be made, so a
// name that failed once is not tried again during this run.
bool create_next_file(char (&name)[kCounterNameSize]) {
    std::int32_t& counter = temp_file_counter();
    std::snprintf(name, sizeof name, "%d", counter);
    counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + 1u);
    std::FILE* file = std::fopen(name, "wb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

// The 999 answers. Clients match these texts as they are, the misspelling included.
void send_cannot_open(Peer* peer, const char* first, std::uint32_t code) {
    send_reply(peer, kCodeFileError, "%s %d \"Cannnot open file.\"", first, static_cast<int>(code));
}
void send_not_exist(Peer* peer, const char* first, std::uint32_t code) {
    send_reply(peer, kCodeFileError, "%s %d \"File not exist.\"", first, static_cast<int>(code));
}
void send_seek_error(Peer* peer, const char* first, std::uint32_t code) {
    send_reply(peer, kCodeFileError, "%s %d \"Seek file error.\"", first, static_cast<int>(code));
}
void send_write_error(Peer* peer, const char* first, std::uint32_t code) {
    send_reply(peer, kCodeFileError, "%s %d \"Write file error.\"", first, static_cast<int>(code));
}

}  // namespace

std::int32_t& temp_file_counter() {
    static std::int32_t counter = 1;
    return counter;
}

// Windows reserves these names in every directory, with any extension: they open devices
// (a serial port, the console), not files in the working directory.
namespace {
bool is_device_name(const char* name) {
    std::size_t stem = std::strcspn(name, ".");
    while (stem > 0 && name[stem - 1] == ' ') --stem;
    if (stem < 3 || stem > 4) return false;
    char upper[5] = {};
    for (std::size_t i = 0; i < stem; ++i) {
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    }
    if (stem == 3) {
        for (const char* device : {"CON", "PRN", "AUX", "NUL"}) {
            if (std::strcmp(upper, device) == 0) return true;
        }
        return false;
    }
    bool numbered = std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0;
    return numbered && upper[3] >= '1' && upper[3] <= '9';
}
}  // namespace

bool file_name_allowed(const Peer* peer, const char* name) {
    if (name == nullptr) return false;
    // Configuration tools on the gateway's own machine may name files anywhere.
    if (peer != nullptr && peer->connection != nullptr &&
        (peer->connection->peer_addr >> 24) == kLoopbackNet) {
        return true;
    }
    // Windows drops trailing dots and blanks, so "...", like "." and "..", names a directory.
    if (name[std::strspn(name, ". ")] == '\0') return false;
    // No separator of either system. A colon is refused anywhere: at the front it is a drive
    // prefix ("C:x" is relative to another directory), further on a Windows stream name.
    if (std::strpbrk(name, "/\\:") != nullptr) return false;
    return !is_device_name(name);
}

void create_temp_file(Peer* peer, std::uint32_t /*code*/, std::uint32_t /*length*/, char* text) {
    char* args[kCreateArgs];
    if (split_args(text, args, kCreateArgs) < kCreateArgs) return;
    char name[kCounterNameSize];
    if (!create_next_file(name)) {
        send_cannot_open(peer, args[0], kCodeCreateFile);
        return;
    }
    send_reply(peer, kCodeChunkRequest, "%s \"%s\" \"%s\" %s %s 0 0 1024", args[0], args[1],
               args[2], name, args[3]);
}

void create_temp_file_notify(Peer* peer, std::uint32_t /*code*/, std::uint32_t /*length*/,
                             char* text) {
    char* args[kCreateArgs];
    if (split_args(text, args, kCreateArgs) < kCreateArgs) return;
    char name[kCounterNameSize];
    if (!create_next_file(name)) {
        send_cannot_open(peer, args[0], kCodeCreateFileNotify);
        return;
    }
    const char* own_name = peer_name(peer);
    if (Peer* partner = find_partner(args[0])) {
        send_reply(partner, kCodeCreateFileNotify, "%s \"%s\" \"%s\" %s", own_name, args[1],
                   args[2], args[3]);
    }
    send_reply(peer, kCodeChunkRequest, "%s %s \"%s\" \"%s\" %s 2 0 0 1024", own_name, args[0],
               args[1], args[2], name);
}

void delete_file(Peer* peer, std::uint32_t code, std::uint32_t /*length*/, char* text) {
    char* args[kDeleteArgs];
    if (split_args(text, args, kDeleteArgs) < kDeleteArgs) return;
    // A name a remote peer may not use is answered like a file that is not there.
    if (!file_name_allowed(peer, args[1]) || std::remove(args[1]) != 0) {
        send_not_exist(peer, args[0], code);
        return;
    }
    send_reply(peer, code + 1, "%s OK", args[0]);
}

void read_chunk(Peer* peer, std::uint32_t /*code*/, std::uint32_t /*length*/, char* text) {
    char* args[kChunkRequestArgs];
    if (split_args(text, args, kChunkRequestArgs) < kChunkRequestArgs) return;
    const TransferArgs transfer = transfer_args(args);
    const char* path = decimal_value(transfer.selector) != 0 ? transfer.name_a : transfer.file;
    // This command answers no errors: a refused name ends it like a missing file.
    if (!file_name_allowed(peer, path)) return;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return;
    const std::int64_t offset = decimal_value(args[6]);
    if (seek_from_start(file, offset) != 0) {
        std::fclose(file);
        return;
    }
    // Taken as unsigned, so a negative size asks for a whole chunk too.
    auto wanted = static_cast<std::uint64_t>(decimal_value(args[7]));
    if (wanted > static_cast<std::uint64_t>(kChunkSize)) wanted = kChunkSize;
    char data[kChunkSize];
    const std::size_t count = std::fread(data, 1, static_cast<std::size_t>(wanted), file);
    if (std::ferror(file) != 0) {
        std::fclose(file);
        return;
    }
    // Set only by a read that tried to go past the end: a chunk ending exactly at the end
    // of the file reports 0, and the next request gets 0 bytes and the flag.
    const int end_flag = std::feof(file) != 0 ? 1 : 0;
    std::fclose(file);

    const int n = static_cast<int>(count);
    const auto at = static_cast<long long>(offset);
    // The text area is 2044 bytes and the data follows it in the same frame. Formatting
    // with room for 2045 lets a text of exactly 2044 bytes through: its terminator lands on
    // the first data byte, which the copy below overwrites.
    char frame[kFrameHeaderSize + kMaxFramePayload + kChunkSize];
    char* area = frame + kFrameHeaderSize;
    const int t = std::snprintf(area, kMaxFramePayload + 1, "%s \"%s\" \"%s\" %s %s %s %d %lld %d ",
                                transfer.partner, transfer.name_a, transfer.name_b, transfer.file,
                                transfer.mode, transfer.selector, end_flag, at, n);
    // A cut text would shift the data into the argument positions: send nothing instead.
    if (t < 0 || t > kMaxFramePayload) return;
    std::memcpy(area + t, data, count);
    frame_write_header(frame, static_cast<std::uint32_t>(t + n), kCodeChunk);
    conn_send(peer->connection, frame, kFrameHeaderSize + t + n);

    if (is_mode_2(transfer.mode)) {
        send_whole_frame(peer->connection, kCodeChunkReport, "%s \"%s\" \"%s\" %s %s %d %lld %d 0",
                         transfer.partner, transfer.name_a, transfer.name_b, transfer.mode,
                         transfer.selector, end_flag, at, n);
        return;
    }
    Peer* partner = find_partner(transfer.partner);
    if (partner == nullptr) return;
    send_whole_frame(partner->connection, kCodeChunkReport, "%s \"%s\" \"%s\" %s %s %d %lld %d 1",
                     peer_name(peer), transfer.name_a, transfer.name_b, transfer.mode,
                     transfer.selector, end_flag, at, n);
}

void write_chunk(Peer* peer, std::uint32_t code, std::uint32_t length, char* text) {
    char* args[kMaxFields];
    char* rest = nullptr;
    if (split_fields(text, args, &rest) < kMaxFields) return;
    const TransferArgs transfer = transfer_args(args);
    const char* last = args[6];
    // A refused name is answered like a file that cannot be opened.
    std::FILE* file =
        file_name_allowed(peer, transfer.file) ? std::fopen(transfer.file, "r+b") : nullptr;
    if (file == nullptr) {
        send_cannot_open(peer, transfer.partner, code);
        return;
    }
    const std::int64_t offset = decimal_value(args[7]);
    if (seek_from_start(file, offset) != 0) {
        send_seek_error(peer, transfer.partner, code);
        std::fclose(file);
        return;
    }
    // Only bytes that came with the frame can be written: a size the data does not cover,
    // or a negative one, writes nothing. The rest is null when field 9 ended the text.
    const char* frame_end = text + length;
    const std::int64_t available =
        rest != nullptr && rest >= text && rest <= frame_end ? frame_end - rest : 0;
    const std::int64_t size = decimal_value(args[8]);
    bool written = size >= 0 && size <= available && offset <= INT64_MAX - size;
    if (written && size > 0) {
        const auto count = static_cast<std::size_t>(size);
        // The bytes sit in the stream's buffer until the flush; a failure there (a full disk,
        // a file size limit) means they were not written either.
        written = std::fwrite(rest, 1, count, file) == count && std::fflush(file) == 0;
    }
    if (!written) {
        send_write_error(peer, transfer.partner, code);
        std::fclose(file);
        return;
    }
    std::fclose(file);

    const char* own_name = peer_name(peer);
    const auto at = static_cast<long long>(offset);
    const int n = static_cast<int>(size);
    const bool mode_2 = is_mode_2(transfer.mode);
    if (!mode_2) {
        send_reply(peer, kCodeChunkReport, "%s \"%s\" \"%s\" %s %s %s %lld %d 0", transfer.partner,
                   transfer.name_a, transfer.name_b, transfer.mode, transfer.selector, last, at, n);
    } else if (Peer* partner = find_partner(transfer.partner)) {
        send_reply(partner, kCodeChunkReport, "%s \"%s\" \"%s\" %s %s %s %lld %d 1", own_name,
                   transfer.name_a, transfer.name_b, transfer.mode, transfer.selector, last, at, n);
    }

    if (decimal_value(last) != 0) {
        if (mode_2) {
            send_reply(peer, kCodeLastChunkWrittenMode2, "%s %s \"%s\" \"%s\" %s", own_name,
                       transfer.partner, transfer.name_a, transfer.name_b, transfer.file);
        } else {
            send_reply(peer, kCodeLastChunkWritten, "%s \"%s\" \"%s\" %s %s", transfer.partner,
                       transfer.name_a, transfer.name_b, transfer.file, transfer.mode);
        }
        return;
    }
    const long long next = at + n;
    if (mode_2) {
        send_reply(peer, kCodeChunkRequest, "%s %s \"%s\" \"%s\" %s %s %s %lld 1024", own_name,
                   transfer.partner, transfer.name_a, transfer.name_b, transfer.file, transfer.mode,
                   transfer.selector, next);
    } else {
        send_reply(peer, kCodeChunkRequest, "%s \"%s\" \"%s\" %s %s %s %lld 1024", transfer.partner,
                   transfer.name_a, transfer.name_b, transfer.file, transfer.mode,
                   transfer.selector, next);
    }
}
