#include "tools/client/requests.h"

#include <vector>

#include "platform/platform.h"

namespace zvc {
namespace {

Result io_result(IoStatus status) {
    Result result;
    result.outcome = Outcome::Io;
    result.io = status;
    return result;
}

Result protocol_result(std::string message) {
    Result result;
    result.outcome = Outcome::Protocol;
    result.message = std::move(message);
    return result;
}

Result gateway_error(const Frame& frame) {
    Result result;
    result.outcome = Outcome::GatewayError;
    result.message = error_answer_text(frame.payload);
    return result;
}

std::string quoted_if_needed(const std::string& text) {
    return text.find_first_of(" \t\r\n\v\f") == std::string::npos ? text : "\"" + text + "\"";
}

}  // namespace

IoStatus wait_for_code(ClientConnection* connection, std::uint16_t a, std::uint16_t b,
                       bool allow_error, int timeout_ms, Frame* out) {
    const std::uint64_t deadline = platform::tick_ms() + static_cast<std::uint64_t>(timeout_ms);
    while (true) {
        const std::uint64_t now = platform::tick_ms();
        const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
        const IoStatus status = client_recv_frame(connection, out, left);
        if (status != IoStatus::Ok) return status;
        if (out->code == a || out->code == b || (allow_error && out->code == kCodeFileError)) {
            return IoStatus::Ok;
        }
    }
}

std::string error_answer_text(const std::string& payload) {
    const std::vector<std::string> words = split_words(payload);
    if (words.size() >= 3) return "command " + words[1] + ": " + words[2];
    return payload;
}

Result register_peer(ClientConnection* connection, const std::string& text, int timeout_ms) {
    IoStatus status = client_send_frame(connection, kCodeRegister, text, timeout_ms);
    if (status != IoStatus::Ok) return io_result(status);
    Frame answer;
    status =
        wait_for_code(connection, kCodeRegistered, kCodeRegistered, false, timeout_ms, &answer);
    if (status != IoStatus::Ok) return io_result(status);
    Result result;
    result.name = answer.payload;
    return result;
}

Result sync_with_gateway(ClientConnection* connection, int timeout_ms) {
    return register_peer(connection, "0", timeout_ms);
}

Result delete_remote(ClientConnection* connection, const std::string& name, int timeout_ms) {
    const std::string text = std::string(kNoPartner) + " " + quoted_if_needed(name);
    IoStatus status = client_send_frame(connection, kCodeDeleteFile, text, timeout_ms);
    if (status != IoStatus::Ok) return io_result(status);
    Frame answer;
    status =
        wait_for_code(connection, kCodeFileDeleted, kCodeFileDeleted, true, timeout_ms, &answer);
    if (status != IoStatus::Ok) return io_result(status);
    if (answer.code == kCodeFileError) return gateway_error(answer);
    return Result{};
}

Result download(ClientConnection* connection, const TransferNames& names, std::FILE* sink,
                int window, int timeout_ms, ProgressFn progress, void* progress_context) {
    Result result;
    std::uint64_t offset = 0;     // where the next chunk to arrive belongs
    std::uint64_t requested = 0;  // offset of the next request to send
    int outstanding = 0;
    Frame frame;
    std::string requests;
    while (true) {
        // Requests past the end of the file are harmless: they are answered with no bytes.
        requests.clear();
        for (; outstanding < window; ++outstanding, requested += kChunkSize) {
            append_frame(&requests, kCodeChunkRequest,
                         chunk_request_text(names, requested, kChunkSize));
        }
        IoStatus status = IoStatus::Ok;
        if (!requests.empty()) status = client_send(connection, requests, timeout_ms);
        if (status == IoStatus::Ok) {
            status = wait_for_code(connection, kCodeChunk, kCodeChunk, false, timeout_ms, &frame);
        }
        if (status != IoStatus::Ok) {
            Result failed = io_result(status);
            failed.bytes = offset;
            return failed;
        }
        --outstanding;
        Chunk chunk;
        if (!parse_chunk(names, frame.payload, &chunk)) {
            return protocol_result("the gateway sent a chunk frame that answers no request: " +
                                   escape_payload(frame.payload.substr(0, 120)));
        }
        // Answers come in request order, so any other offset means an answer was lost or
        // the file changed size during the download.
        if (chunk.offset != offset) {
            return protocol_result("the gateway sent the chunk at " + std::to_string(chunk.offset) +
                                   " where " + std::to_string(offset) + " was due");
        }
        // Only the end of the file makes a chunk short; a short chunk without the end flag
        // would leave the next request's offset behind (and an empty one could repeat
        // forever).
        if (chunk.data.size() < kChunkSize && !chunk.end) {
            return protocol_result("the gateway sent a short chunk without the end flag");
        }
        if (!chunk.data.empty() &&
            std::fwrite(chunk.data.data(), 1, chunk.data.size(), sink) != chunk.data.size()) {
            Result failed;
            failed.outcome = Outcome::Local;
            failed.message = "cannot write the local file";
            failed.bytes = offset;
            return failed;
        }
        offset += chunk.data.size();
        if (progress != nullptr) progress(progress_context, offset, -1);
        if (chunk.end) break;
    }
    result.bytes = offset;
    return result;
}

Result upload(ClientConnection* connection, const std::string& label, std::FILE* source,
              std::int64_t total, int timeout_ms, ProgressFn progress, void* progress_context) {
    TransferNames names{label, "", ""};
    IoStatus status =
        client_send_frame(connection, kCodeCreateFile, create_file_text(names), timeout_ms);
    Frame answer;
    if (status == IoStatus::Ok) {
        status = wait_for_code(connection, kCodeChunkRequest, kCodeChunkRequest, true, timeout_ms,
                               &answer);
    }
    if (status != IoStatus::Ok) return io_result(status);
    if (answer.code == kCodeFileError) return gateway_error(answer);
    // "partner \"A\" \"B\" NAME mode 0 0 1024"
    const std::vector<std::string> created = split_words(answer.payload);
    if (created.size() != 8 || created[0] != kNoPartner || created[3].empty()) {
        return protocol_result("unexpected answer to the file creation: " +
                               escape_payload(answer.payload));
    }
    names.file = created[3];

    Result result;
    result.name = names.file;
    // One chunk is read ahead, so that the chunk that ends the file goes out marked last
    // even when the size is not known in advance.
    std::string current(kChunkSize, '\0');
    std::string next(kChunkSize, '\0');
    current.resize(std::fread(current.data(), 1, kChunkSize, source));
    std::uint64_t offset = 0;
    while (true) {
        next.resize(kChunkSize);
        next.resize(current.size() == kChunkSize ? std::fread(next.data(), 1, kChunkSize, source)
                                                 : 0);
        if (std::ferror(source) != 0) {
            result.outcome = Outcome::Local;
            result.message = "cannot read the local file";
            return result;
        }
        const bool last = next.empty();
        status = client_send_frame(connection, kCodeChunk,
                                   chunk_write_payload(names, last, offset, current), timeout_ms);
        // The gateway reports the chunk (199), then asks for the next one (193) or confirms
        // the last (192).
        if (status == IoStatus::Ok) {
            status = wait_for_code(connection, kCodeChunkReport, kCodeChunkReport, true, timeout_ms,
                                   &answer);
        }
        if (status == IoStatus::Ok && answer.code != kCodeFileError) {
            status = wait_for_code(connection, kCodeChunkRequest, kCodeLastChunkWritten, true,
                                   timeout_ms, &answer);
        }
        if (status != IoStatus::Ok) {
            Result failed = io_result(status);
            failed.name = names.file;
            failed.bytes = offset;
            return failed;
        }
        if (answer.code == kCodeFileError) {
            Result failed = gateway_error(answer);
            failed.name = names.file;
            failed.bytes = offset;
            return failed;
        }
        offset += current.size();
        if (progress != nullptr) progress(progress_context, offset, total);
        if (last) {
            if (answer.code != kCodeLastChunkWritten) {
                return protocol_result("the gateway asked for more after the last chunk");
            }
            break;
        }
        const std::vector<std::string> words = split_words(answer.payload);
        std::uint64_t asked = 0;
        if (answer.code != kCodeChunkRequest || words.size() != 8 ||
            !parse_unsigned(words[6], UINT64_MAX, &asked) || asked != offset) {
            return protocol_result("unexpected answer to a chunk: " +
                                   escape_payload(answer.payload));
        }
        current.swap(next);
    }
    result.bytes = offset;
    return result;
}

}  // namespace zvc
