// The client's side of the wire: frames (2-byte big-endian payload length, 2-byte big-endian
// code, payload), an incremental reader for a byte stream, the argument texts of the file
// commands, and how a payload is shown on a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zvc {

inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kMaxPayload = 65535;  // what the length field can say
// The gateway dispatches a frame only when it fits whole in its 2048-byte input buffer.
inline constexpr std::size_t kGatewayMaxPayload = 2044;
inline constexpr std::size_t kChunkSize = 1024;

// Codes the client uses.
inline constexpr std::uint16_t kCodeSearch = 22;
inline constexpr std::uint16_t kCodeRegistered = 24;
inline constexpr std::uint16_t kCodeRegister = 25;
inline constexpr std::uint16_t kCodeNotice = 26;
inline constexpr std::uint16_t kCodeDeparture = 174;
inline constexpr std::uint16_t kCodeCreateFile = 191;
inline constexpr std::uint16_t kCodeLastChunkWritten = 192;
inline constexpr std::uint16_t kCodeChunkRequest = 193;
inline constexpr std::uint16_t kCodeChunk = 194;
inline constexpr std::uint16_t kCodeDeleteFile = 197;
inline constexpr std::uint16_t kCodeFileDeleted = 198;
inline constexpr std::uint16_t kCodeChunkReport = 199;
inline constexpr std::uint16_t kCodeFileError = 999;

// True for the codes the gateway answers itself; every other code is relayed.
bool gateway_handles(std::uint16_t code);

struct Frame {
    std::uint16_t code = 0;
    std::string payload;
};

// Appends one encoded frame to out. The payload must not exceed kMaxPayload.
void append_frame(std::string* out, std::uint16_t code, std::string_view payload);
std::string encode_frame(std::uint16_t code, std::string_view payload);

// Cuts whole frames out of a byte stream that arrives in arbitrary pieces.
class FrameReader {
public:
    void feed(const char* bytes, std::size_t count);
    // Takes the next whole frame; false while none is buffered.
    bool next(Frame* out);
    std::size_t buffered() const { return buffer_.size() - start_; }

private:
    std::string buffer_;
    std::size_t start_ = 0;
};

// Splits answer text the way the gateway splits requests: words separated by white space,
// double quotes around a word that may hold blanks (the quotes are dropped). An unclosed
// quote makes the rest of the text one word.
std::vector<std::string> split_words(std::string_view text);

// One line for a terminal or a log: printable ASCII as it is, a backslash doubled, tab, CR
// and LF as \t \r \n, every other byte as \xHH. Never contains a line break.
std::string escape_payload(std::string_view payload);

// Name A and name B travel between double quotes, which they therefore cannot contain;
// they are only copied back by the gateway, so such a quote is replaced, not refused.
std::string quotable(std::string_view text);

// The first six positions every chunk frame carries (partner, name A, name B, file, mode,
// selector). The client keeps mode 0 and selector 0, names a partner that can never be a
// peer name (names are address:port), and so receives every answer itself.
struct TransferNames {
    std::string name_a;  // only copied by the gateway
    std::string name_b;  // only copied by the gateway
    std::string file;    // the gateway file
};
inline constexpr std::string_view kNoPartner = "-";

// 191: create an empty file; the gateway answers 193 naming it, or 999.
std::string create_file_text(const TransferNames& names);
// 193: ask for size bytes at offset.
std::string chunk_request_text(const TransferNames& names, std::uint64_t offset, std::size_t size);
// 194: the fields of one chunk, followed by its bytes.
std::string chunk_write_payload(const TransferNames& names, bool last, std::uint64_t offset,
                                std::string_view data);

// A chunk frame (194) as the gateway sends it for a chunk request: its own text repeats the
// request's first six positions, then the end flag, the offset and the count, a blank, and
// the bytes.
struct Chunk {
    bool end = false;
    std::uint64_t offset = 0;
    std::string_view data;  // points into the payload handed to parse_chunk
};
// Parses a chunk frame answering chunk_request_text(names, ...). False when the payload is
// not such a frame (other names, bad numbers, a count that disagrees with the length).
bool parse_chunk(const TransferNames& names, std::string_view payload, Chunk* out);

// Parses an unsigned decimal number that is the whole of text; false for anything else.
bool parse_unsigned(std::string_view text, std::uint64_t max, std::uint64_t* out);

}  // namespace zvc
