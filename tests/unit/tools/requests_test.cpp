// The client's exchanges against a scripted gateway: the answers are queued on one end of a
// socket pair before the exchange runs, and the requests are read back from it afterwards.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/client/connection.h"
#include "tools/client/requests.h"

namespace {

using namespace std::string_literals;
using zvc::Outcome;

std::string header(std::size_t length, int code) {
    return {static_cast<char>(length >> 8), static_cast<char>(length & 0xFF),
            static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

std::string frame(int code, const std::string& payload) {
    return header(payload.size(), code) + payload;
}

class ScriptedGateway : public ::testing::Test {
protected:
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        connection_ = zvc::ClientConnection{};
        connection_.handle = ends[0];
        gateway_ = ends[1];
        platform::socket_set_nonblocking(ends[0]);
        platform::socket_set_nonblocking(ends[1]);
        connection_.peer = "scripted";
    }
    void TearDown() override {
        zvc::client_close(&connection_);
        if (gateway_ >= 0) ::close(gateway_);
    }

    void answer(const std::string& bytes) {
        ASSERT_EQ(::write(gateway_, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // The gateway's end of the stream: the client reads it as a closed connection.
    void hang_up() { ::shutdown(gateway_, SHUT_WR); }

    // Everything the client sent, as whole frames (header included).
    std::vector<std::string> requests() {
        std::string bytes;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(gateway_, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<std::size_t>(n));
        std::vector<std::string> frames;
        std::size_t i = 0;
        while (i + 4 <= bytes.size()) {
            const std::size_t length = (static_cast<unsigned char>(bytes[i]) << 8) |
                                       static_cast<unsigned char>(bytes[i + 1]);
            frames.push_back(bytes.substr(i, 4 + length));
            i += 4 + length;
        }
        EXPECT_EQ(i, bytes.size()) << "a partial frame was sent";
        return frames;
    }

    zvc::ClientConnection connection_;
    int gateway_ = -1;
};

std::string read_all(std::FILE* file) {
    std::rewind(file);
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.append(buffer, n);
    return out;
}

std::string pattern(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 37 + i / 256) & 0xFF);
    return out;
}

TEST_F(ScriptedGateway, DownloadFollowsOffsetsUntilTheEndFlag) {
    const std::string file = pattern(2500);
    const zvc::TransferNames names{"9", "copy", "9"};
    const std::string text = "- \"9\" \"copy\" 9 0 0 ";
    answer(frame(194, text + "0 0 1024 " + file.substr(0, 1024)));
    answer(frame(300, "10.0.0.5:700 unrelated"));  // a relayed frame is passed over
    answer(frame(194, text + "0 1024 1024 " + file.substr(1024, 1024)));
    answer(frame(194, text + "1 2048 452 " + file.substr(2048)));

    std::FILE* sink = std::tmpfile();
    const zvc::Result result = zvc::download(&connection_, names, sink, 1, 1000, nullptr, nullptr);
    EXPECT_EQ(result.outcome, Outcome::Ok) << result.message;
    EXPECT_EQ(result.bytes, 2500u);
    EXPECT_EQ(read_all(sink), file);
    std::fclose(sink);
    EXPECT_EQ(requests(), (std::vector<std::string>{
                              "\x00\x19\x00\xC1"s
                              "- \"9\" \"copy\" 9 0 0 0 1024",
                              "\x00\x1C\x00\xC1"s
                              "- \"9\" \"copy\" 9 0 0 1024 1024",
                              "\x00\x1C\x00\xC1"s
                              "- \"9\" \"copy\" 9 0 0 2048 1024",
                          }));
}

TEST_F(ScriptedGateway, DownloadOfAnExactMultipleEndsWithAnEmptyChunk) {
    const std::string file = pattern(1024);
    const std::string text = "- \"f\" \"f\" f 0 0 ";
    answer(frame(194, text + "0 0 1024 " + file));
    answer(frame(194, text + "1 1024 0 "));
    std::FILE* sink = std::tmpfile();
    const zvc::Result result =
        zvc::download(&connection_, {"f", "f", "f"}, sink, 1, 1000, nullptr, nullptr);
    EXPECT_EQ(result.outcome, Outcome::Ok);
    EXPECT_EQ(read_all(sink), file);
    std::fclose(sink);
}

TEST_F(ScriptedGateway, DownloadWithAWindowKeepsRequestsAhead) {
    const std::string file = pattern(2500);
    const std::string text = "- \"f\" \"f\" f 0 0 ";
    answer(frame(194, text + "0 0 1024 " + file.substr(0, 1024)));
    answer(frame(194, text + "0 1024 1024 " + file.substr(1024, 1024)));
    answer(frame(194, text + "1 2048 452 " + file.substr(2048)));
    std::FILE* sink = std::tmpfile();
    const zvc::Result result =
        zvc::download(&connection_, {"f", "f", "f"}, sink, 4, 1000, nullptr, nullptr);
    EXPECT_EQ(result.outcome, Outcome::Ok) << result.message;
    EXPECT_EQ(read_all(sink), file);
    std::fclose(sink);
    // Four requests at once, one more per answer until the end flag: offsets 0 to 6144.
    std::vector<std::string> offsets;
    for (const std::string& request : requests()) {
        offsets.push_back(request.substr(request.rfind(' ', request.size() - 6) + 1));
    }
    EXPECT_EQ(offsets, (std::vector<std::string>{"0 1024", "1024 1024", "2048 1024", "3072 1024",
                                                 "4096 1024", "5120 1024"}));
}

TEST_F(ScriptedGateway, DownloadFailures) {
    struct Case {
        const char* name;
        std::string answers;
        bool hang_up;
        Outcome outcome;
        zvc::IoStatus io;
    };
    const std::string text = "- \"f\" \"f\" f 0 0 ";
    const Case cases[] = {
        {"no answer", "", false, Outcome::Io, zvc::IoStatus::TimedOut},
        {"closed", "", true, Outcome::Io, zvc::IoStatus::Closed},
        {"closed in mid-frame", header(40, 194) + "- \"f\"", true, Outcome::Io,
         zvc::IoStatus::Closed},
        {"wrong offset", frame(194, text + "0 1024 1 x"), false, Outcome::Protocol,
         zvc::IoStatus::Ok},
        {"empty chunk without end", frame(194, text + "0 0 0 "), false, Outcome::Protocol,
         zvc::IoStatus::Ok},
        {"short chunk without end", frame(194, text + "0 0 3 abc"), false, Outcome::Protocol,
         zvc::IoStatus::Ok},
        {"another file", frame(194, "- \"g\" \"g\" g 0 0 1 0 0 "), false, Outcome::Protocol,
         zvc::IoStatus::Ok},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        answer(c.answers);
        if (c.hang_up) hang_up();
        std::FILE* sink = std::tmpfile();
        const zvc::Result result =
            zvc::download(&connection_, {"f", "f", "f"}, sink, 1, 50, nullptr, nullptr);
        EXPECT_EQ(result.outcome, c.outcome) << c.name;
        EXPECT_EQ(result.io, c.io) << c.name;
        std::fclose(sink);
    }
}

TEST_F(ScriptedGateway, UploadCreatesThenWritesChunkByChunk) {
    const std::string data = pattern(1500);
    answer(frame(193, "- \"in.bin\" \"\" 7 0 0 0 1024"));
    answer(frame(199, "- \"in.bin\" \"\" 0 0 0 0 1024 0"));
    answer(frame(193, "- \"in.bin\" \"\" 7 0 0 1024 1024"));
    answer(frame(199, "- \"in.bin\" \"\" 0 0 1 1024 476 0"));
    answer(frame(192, "- \"in.bin\" \"\" 7 0"));
    std::FILE* source = std::tmpfile();
    std::fwrite(data.data(), 1, data.size(), source);
    std::rewind(source);

    std::vector<std::uint64_t> seen;
    auto progress = [](void* context, std::uint64_t bytes, std::int64_t total) {
        EXPECT_EQ(total, 1500);
        static_cast<std::vector<std::uint64_t>*>(context)->push_back(bytes);
    };
    const zvc::Result result =
        zvc::upload(&connection_, "in.bin", source, 1500, 1000, progress, &seen);
    std::fclose(source);
    EXPECT_EQ(result.outcome, Outcome::Ok) << result.message;
    EXPECT_EQ(result.name, "7");
    EXPECT_EQ(result.bytes, 1500u);
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{1024, 1500}));
    const std::string first = "- \"in.bin\" \"\" 7 0 0 0 0 1024 ";
    const std::string second = "- \"in.bin\" \"\" 7 0 0 1 1024 476 ";
    EXPECT_EQ(requests(), (std::vector<std::string>{
                              "\x00\x0F\x00\xBF"s
                              "- \"in.bin\" \"\" 0",
                              header(first.size() + 1024, 194) + first + data.substr(0, 1024),
                              header(second.size() + 476, 194) + second + data.substr(1024),
                          }));
}

TEST_F(ScriptedGateway, UploadOfAnEmptyFileSendsOneLastChunk) {
    answer(frame(193, "- \"e\" \"\" 3 0 0 0 1024"));
    answer(frame(199, "- \"e\" \"\" 0 0 1 0 0 0"));
    answer(frame(192, "- \"e\" \"\" 3 0"));
    std::FILE* source = std::tmpfile();
    const zvc::Result result = zvc::upload(&connection_, "e", source, 0, 1000, nullptr, nullptr);
    std::fclose(source);
    EXPECT_EQ(result.outcome, Outcome::Ok) << result.message;
    const std::vector<std::string> sent = requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1],
              "\x00\x15\x00\xC2"s
              "- \"e\" \"\" 3 0 0 1 0 0 ");
}

TEST_F(ScriptedGateway, ErrorAnswersCarryTheGatewaysText) {
    answer(frame(999, "- 191 \"Cannnot open file.\""));
    std::FILE* source = std::tmpfile();
    zvc::Result result = zvc::upload(&connection_, "x", source, 0, 1000, nullptr, nullptr);
    EXPECT_EQ(result.outcome, Outcome::GatewayError);
    EXPECT_EQ(result.message, "command 191: Cannnot open file.");
    EXPECT_EQ(result.name, "");

    // A write error after the creation names the incomplete file.
    answer(frame(193, "- \"x\" \"\" 4 0 0 0 1024"));
    answer(frame(999, "- 194 \"Write file error.\""));
    result = zvc::upload(&connection_, "x", source, 0, 1000, nullptr, nullptr);
    EXPECT_EQ(result.outcome, Outcome::GatewayError);
    EXPECT_EQ(result.message, "command 194: Write file error.");
    EXPECT_EQ(result.name, "4");
    std::fclose(source);

    answer(frame(999, "- 197 \"File not exist.\""));
    result = zvc::delete_remote(&connection_, "my file", 1000);
    EXPECT_EQ(result.outcome, Outcome::GatewayError);
    EXPECT_EQ(result.message, "command 197: File not exist.");
    answer(frame(198, "- OK"));
    EXPECT_EQ(zvc::delete_remote(&connection_, "5", 1000).outcome, Outcome::Ok);
    const std::vector<std::string> sent = requests();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[3],
              "\x00\x0B\x00\xC5"s
              "- \"my file\"");
    EXPECT_EQ(sent[4],
              "\x00\x03\x00\xC5"s
              "- 5");
}

TEST_F(ScriptedGateway, RegistrationWaitsForItsAnswer) {
    answer(frame(26, "10.0.0.7:1 0"));  // not the answer: passed over
    answer(frame(24, "10.1.2.9:40001"));
    const zvc::Result result = zvc::register_peer(&connection_, "3", 1000);
    EXPECT_EQ(result.outcome, Outcome::Ok);
    EXPECT_EQ(result.name, "10.1.2.9:40001");
    EXPECT_EQ(requests(), std::vector<std::string>{"\x00\x01\x00\x19"s
                                                   "3"});
}

}  // namespace
