#include "tools/client/frame_codec.h"

#include <charconv>
#include <cstdio>

namespace zvc {
namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The file position is written bare by the gateway but may be quoted by us: a name with a
// blank in it still reaches the gateway as one argument.
std::string request_word(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (is_space(c)) {
            out.reserve(text.size() + 2);
            out.push_back('"');
            out.append(text);
            out.push_back('"');
            return out;
        }
    }
    out.assign(text);
    return out;
}

// What the gateway writes before the end flag of a chunk frame: positions 1 to 6 as
// "%s \"%s\" \"%s\" %s %s %s ", with the file bare.
std::string chunk_prefix(const TransferNames& names) {
    std::string out;
    out.append(kNoPartner).append(" \"").append(quotable(names.name_a)).append("\" \"");
    out.append(quotable(names.name_b)).append("\" ").append(names.file).append(" 0 0 ");
    return out;
}

// Takes one unsigned decimal number ending in a blank off the front of text.
bool take_number(std::string_view* text, std::uint64_t max, std::uint64_t* out) {
    const std::size_t blank = text->find(' ');
    if (blank == std::string_view::npos) return false;
    if (!parse_unsigned(text->substr(0, blank), max, out)) return false;
    text->remove_prefix(blank + 1);
    return true;
}

}  // namespace

bool gateway_handles(std::uint16_t code) {
    switch (code) {
        case 22:
        case 25:
        case 191:
        case 193:
        case 194:
        case 197:
        case 202:
        case 205:
            return true;
        default:
            return false;
    }
}

void append_frame(std::string* out, std::uint16_t code, std::string_view payload) {
    const auto length = static_cast<std::uint16_t>(payload.size());
    const char header[kHeaderSize] = {static_cast<char>(length >> 8),
                                      static_cast<char>(length & 0xFF),
                                      static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    out->append(header, kHeaderSize);
    out->append(payload);
}

std::string encode_frame(std::uint16_t code, std::string_view payload) {
    std::string out;
    out.reserve(kHeaderSize + payload.size());
    append_frame(&out, code, payload);
    return out;
}

void FrameReader::feed(const char* bytes, std::size_t count) {
    // Drop what has been taken before the buffer grows, so a long stream of frames does
    // not keep every byte it ever carried.
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 65536) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes, count);
}

bool FrameReader::next(Frame* out) {
    const std::size_t available = buffer_.size() - start_;
    if (available < kHeaderSize) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + start_);
    const std::size_t length = (static_cast<std::size_t>(p[0]) << 8) | p[1];
    if (available < kHeaderSize + length) return false;
    out->code = static_cast<std::uint16_t>((p[2] << 8) | p[3]);
    out->payload.assign(buffer_, start_ + kHeaderSize, length);
    start_ += kHeaderSize + length;
    return true;
}

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (true) {
        while (i < text.size() && is_space(text[i])) ++i;
        if (i >= text.size()) break;
        if (text[i] == '"') {
            const std::size_t close = text.find('"', i + 1);
            if (close == std::string_view::npos) {
                words.emplace_back(text.substr(i + 1));
                break;
            }
            words.emplace_back(text.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            std::size_t end = i;
            while (end < text.size() && !is_space(text[end])) ++end;
            words.emplace_back(text.substr(i, end - i));
            i = end;
        }
    }
    return words;
}

std::string escape_payload(std::string_view payload) {
    std::string out;
    out.reserve(payload.size());
    for (char c : payload) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (byte >= 0x20 && byte < 0x7F) {
                    out += c;
                } else {
                    char hex[5];
                    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
                    out += hex;
                }
        }
    }
    return out;
}

std::string quotable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c == '"') c = '\'';
    }
    return out;
}

std::string create_file_text(const TransferNames& names) {
    std::string out(kNoPartner);
    out.append(" \"").append(quotable(names.name_a)).append("\" \"");
    out.append(quotable(names.name_b)).append("\" 0");
    return out;
}

std::string chunk_request_text(const TransferNames& names, std::uint64_t offset, std::size_t size) {
    std::string out(kNoPartner);
    out.append(" \"").append(quotable(names.name_a)).append("\" \"");
    out.append(quotable(names.name_b)).append("\" ").append(request_word(names.file));
    out.append(" 0 0 ").append(std::to_string(offset)).append(" ").append(std::to_string(size));
    return out;
}

std::string chunk_write_payload(const TransferNames& names, bool last, std::uint64_t offset,
                                std::string_view data) {
    // Fields are cut at single delimiters, so exactly one blank separates them, and the
    // blank after the ninth field is the last byte before the data.
    std::string out(kNoPartner);
    out.append(" \"").append(quotable(names.name_a)).append("\" \"");
    out.append(quotable(names.name_b)).append("\" ").append(request_word(names.file));
    out.append(" 0 0 ").append(last ? "1 " : "0 ").append(std::to_string(offset));
    out.append(" ").append(std::to_string(data.size())).append(" ");
    out.append(data);
    return out;
}

bool parse_chunk(const TransferNames& names, std::string_view payload, Chunk* out) {
    const std::string prefix = chunk_prefix(names);
    if (payload.substr(0, prefix.size()) != prefix) return false;
    std::string_view rest = payload.substr(prefix.size());
    std::uint64_t end = 0;
    std::uint64_t offset = 0;
    std::uint64_t count = 0;
    if (!take_number(&rest, 1, &end) || !take_number(&rest, UINT64_MAX, &offset) ||
        !take_number(&rest, kChunkSize, &count) || rest.size() != count) {
        return false;
    }
    out->end = end == 1;
    out->offset = offset;
    out->data = rest;
    return true;
}

bool parse_unsigned(std::string_view text, std::uint64_t max, std::uint64_t* out) {
    if (text.empty()) return false;
    std::uint64_t value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto result = std::from_chars(first, last, value);
    if (result.ec != std::errc() || result.ptr != last || value > max) return false;
    *out = value;
    return true;
}

}  // namespace zvc
