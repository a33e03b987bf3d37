// Command 194: one chunk written into a gateway file, reported with 199, and answered with
// the request for the next chunk (193) or, after the last one, a completion frame.
#include <signal.h>
#include <sys/resource.h>

#include "tests/unit/commands/file_fixture.h"

namespace {

class ChunkWriteTest : public FileServiceTest {
protected:
    void SetUp() override {
        FileServiceTest::SetUp();
        r_ = add_peer("R");
        p_ = add_peer("P");
        write_file("f", kOriginal);
    }

    void clear_sent() {
        r_.socket->sent.clear();
        p_.socket->sent.clear();
    }

    static constexpr const char* kOriginal = "0123456789";
    TestPeer r_{};  // requester
    TestPeer p_{};  // partner
};

TEST_F(ChunkWriteTest, WritesTheChunkAndAsksForTheNext) {
    run(write_chunk, r_.peer, kCodeChunk, "P a b f 0 0 0 0 5 hello");
    EXPECT_EQ(read_file("f"), "hello56789");
    EXPECT_EQ(r_.sent(),
              "\x00\x15\x00\xc7"
              "P \"a\" \"b\" 0 0 0 0 5 0"
              "\x00\x16\x00\xc1"
              "P \"a\" \"b\" f 0 0 5 1024"s);
    EXPECT_EQ(p_.sent(), "");
}

TEST_F(ChunkWriteTest, ModeAndLastSelectReportAndAnswer) {
    struct Case {
        const char* payload;
        std::string to_requester;
        std::string to_partner;
    };
    const Case cases[] = {
        {"P a b f 0 0 0 2 5 hello",
         "\x00\x15\x00\xc7"
         "P \"a\" \"b\" 0 0 0 2 5 0"
         "\x00\x16\x00\xc1"
         "P \"a\" \"b\" f 0 0 7 1024"s,
         ""},
        {"P a b f 0 0 1 2 5 hello",
         "\x00\x15\x00\xc7"
         "P \"a\" \"b\" 0 0 1 2 5 0"
         "\x00\x0d\x00\xc0"
         "P \"a\" \"b\" f 0"s,
         ""},
        // last is copied as received and counts as set whenever it is not 0.
        {"P a b f 0 3 -1 2 5 hello",
         "\x00\x16\x00\xc7"
         "P \"a\" \"b\" 0 3 -1 2 5 0"
         "\x00\x0d\x00\xc0"
         "P \"a\" \"b\" f 0"s,
         ""},
        {"P a b f 2 0 0 2 5 hello",
         "\x00\x18\x00\xc1"
         "R P \"a\" \"b\" f 2 0 7 1024"s,
         "\x00\x15\x00\xc7"
         "R \"a\" \"b\" 2 0 0 2 5 1"s},
        {"P a b f 2 0 1 2 5 hello",
         "\x00\x0d\x00\xcb"
         "R P \"a\" \"b\" f"s,
         "\x00\x15\x00\xc7"
         "R \"a\" \"b\" 2 0 1 2 5 1"s},
        // Mode 2 with a partner that is not listed: no report, the answer still goes out.
        {"Z a b f 2 0 0 2 5 hello",
         "\x00\x18\x00\xc1"
         "R Z \"a\" \"b\" f 2 0 7 1024"s,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        write_file("f", kOriginal);
        clear_sent();
        run(write_chunk, r_.peer, kCodeChunk, c.payload);
        EXPECT_EQ(read_file("f"), "01hello789");
        EXPECT_EQ(r_.sent(), c.to_requester);
        EXPECT_EQ(p_.sent(), c.to_partner);
    }
}

// The data starts right after the single blank that ends field 9 and is taken by count:
// blanks, quotes, line ends and NUL bytes are file contents like any other byte.
TEST_F(ChunkWriteTest, DataIsWrittenByteForByte) {
    struct Case {
        const char* offset;
        const char* size;
        std::string data;
        std::string file_after;
    };
    const Case cases[] = {
        {"0", "4", "  xy", "  xy456789"},
        {"6", "4", "a\0\0b"s, "012345a\0\0b"s},
        {"0", "3", "\0z\0"s,
         "\0z\0"
         "3456789"s},
        {"1", "4", "\"\r\n\t", "0\"\r\n\t56789"},
        {"0", "2", "xyz", "xy23456789"},         // bytes beyond the size stay unwritten
        {"12", "2", "xy", "0123456789\0\0xy"s},  // past the end: the file grows
        {"3", "0", "abc", kOriginal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("size "s + c.size + " at " + c.offset);
        write_file("f", kOriginal);
        clear_sent();
        run(write_chunk, r_.peer, kCodeChunk,
            "P a b f 0 0 0 "s + c.offset + " " + c.size + " " + c.data);
        EXPECT_EQ(read_file("f"), c.file_after);
        ASSERT_GE(r_.sent().size(), 4u);
        EXPECT_EQ(r_.sent().substr(2, 2), "\x00\xc7"s);  // a report, not an error
    }
}

TEST_F(ChunkWriteTest, SizeZeroWithoutDataLeavesTheFileAsItWas) {
    run(write_chunk, r_.peer, kCodeChunk, "P a b f 0 0 0 0 0");
    EXPECT_EQ(read_file("f"), kOriginal);
    EXPECT_EQ(r_.sent(),
              "\x00\x15\x00\xc7"
              "P \"a\" \"b\" 0 0 0 0 0 0"
              "\x00\x16\x00\xc1"
              "P \"a\" \"b\" f 0 0 0 1024"s);
}

// Failures are answered with 999 and nothing else: no report, no next request, and the
// file keeps its contents.
TEST_F(ChunkWriteTest, FailuresAreAnsweredWithTheirText) {
    const std::string cannot_open =
        "\x00\x1a\x03\xe7"
        "P 194 \"Cannnot open file.\""s;
    const std::string seek_error =
        "\x00\x18\x03\xe7"
        "P 194 \"Seek file error.\""s;
    const std::string write_error =
        "\x00\x19\x03\xe7"
        "P 194 \"Write file error.\""s;
    std::filesystem::create_directory("dir");
    struct Case {
        std::string payload;
        std::string answer;
    };
    const Case cases[] = {
        {"P a b missing 0 0 0 0 5 hello", cannot_open},
        {"P a b dir 2 0 0 0 5 hello", cannot_open},
        {"P a b f 2 0 0 -1 5 hello", seek_error},
        // Sizes the data in the frame does not cover write nothing at all.
        {"P a b f 2 0 0 0 6 hello", write_error},
        {"P a b f 0 0 0 0 -1 hello", write_error},
        {"P a b f 0 0 0 0 5", write_error},   // field 9 ends the text: no data
        {"P a b f 0 0 0 0 5 ", write_error},  // an empty rest
        {"P a b f 0 0 0 0 99999999999999999999999 hello", write_error},
        {"P a b f 0 0 0 0 -99999999999999999999999 hello", write_error},
        {"P a b f 0 0 0 0 4294967301 hello", write_error},  // 2^32 + 5 stays large
        // Not nine fields, or an open quote: no answer at all.
        {"P a b f 0 0 0 0", ""},
        {"P a b f 0 0 0 0 \"5 hello", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        clear_sent();
        run(write_chunk, r_.peer, kCodeChunk, c.payload);
        EXPECT_EQ(r_.sent(), c.answer);
        EXPECT_EQ(p_.sent(), "");
        EXPECT_EQ(read_file("f"), kOriginal);
    }
    EXPECT_FALSE(std::filesystem::exists("missing"));
}

// Bytes that only reach the file when the stream is flushed fail there, not in the write
// call: the file size limit makes that happen on purpose.
TEST_F(ChunkWriteTest, WriteThatFailsOnFlushIsAWriteError) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

    run(write_chunk, r_.peer, kCodeChunk, "P a b f 0 0 0 8192 5 hello");

    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, saved_handler);
    EXPECT_EQ(r_.sent(),
              "\x00\x19\x03\xe7"
              "P 194 \"Write file error.\""s);
}

// Offsets past 2 GiB and 4 GiB travel whole: written, answered and read back at the same
// place (the file is sparse, so this costs no disk space).
TEST_F(ChunkWriteTest, OffsetsBeyondThirtyTwoBitsStayWhole) {
    run(write_chunk, r_.peer, kCodeChunk, "P a b f 0 0 0 3000000000 5 hello");
    EXPECT_EQ(r_.sent(),
              "\x00\x1e\x00\xc7"
              "P \"a\" \"b\" 0 0 0 3000000000 5 0"
              "\x00\x1f\x00\xc1"
              "P \"a\" \"b\" f 0 0 3000000005 1024"s);
    EXPECT_EQ(std::filesystem::file_size("f"), 3000000005u);

    clear_sent();
    run(read_chunk, r_.peer, kCodeChunkRequest, "P a b f 0 0 3000000000 1024");
    run(read_chunk, r_.peer, kCodeChunkRequest, "P a b f 0 0 4294967296 1024");
    EXPECT_EQ(r_.sent(),
              "\x00\x24\x00\xc2"
              "P \"a\" \"b\" f 0 0 1 3000000000 5 hello"
              "\x00\x1f\x00\xc2"
              "P \"a\" \"b\" f 0 0 1 4294967296 0 "s);
}

// Splits a byte stream into frames: {code, payload}.
std::vector<std::pair<int, std::string>> split_frames(const std::string& bytes) {
    std::vector<std::pair<int, std::string>> frames;
    std::size_t at = 0;
    while (at + 4 <= bytes.size()) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
        const std::size_t length = byte(0) * 256u + byte(1);
        frames.emplace_back(byte(2) * 256 + byte(3), bytes.substr(at + 4, length));
        at += 4 + length;
    }
    EXPECT_EQ(at, bytes.size());
    return frames;
}

// A copy run the way a client drives it: each chunk frame the gateway sends is returned
// unchanged as a write, and each answer to a write is sent back as the next read request.
// Reading src by name A (selector 1) and writing into dst (the file position) copies src.
TEST_F(ChunkWriteTest, ChunkFramesReturnedAsWritesCopyTheFile) {
    const std::string contents = pattern_bytes(2500);
    write_file("src", contents);
    write_file("dst", "");
    const std::string write_answers[] = {
        "\x00\x1a\x00\xc7"
        "P \"src\" \"b\" 0 1 0 0 1024 0"
        "\x00\x1d\x00\xc1"
        "P \"src\" \"b\" dst 0 1 1024 1024"s,
        "\x00\x1d\x00\xc7"
        "P \"src\" \"b\" 0 1 0 1024 1024 0"
        "\x00\x1d\x00\xc1"
        "P \"src\" \"b\" dst 0 1 2048 1024"s,
        "\x00\x1c\x00\xc7"
        "P \"src\" \"b\" 0 1 1 2048 452 0"
        "\x00\x11\x00\xc0"
        "P \"src\" \"b\" dst 0"s,
    };
    std::string request = "P src b dst 0 1 0 1024";
    for (const std::string& expected : write_answers) {
        SCOPED_TRACE(request);
        clear_sent();
        run(read_chunk, r_.peer, kCodeChunkRequest, request);
        const auto chunk = split_frames(r_.sent());
        ASSERT_EQ(chunk.size(), 1u);
        ASSERT_EQ(chunk[0].first, 194);

        clear_sent();
        run(write_chunk, r_.peer, kCodeChunk, chunk[0].second);
        EXPECT_EQ(r_.sent(), expected);
        const auto answer = split_frames(r_.sent());
        ASSERT_EQ(answer.size(), 2u);
        request = answer[1].second;
    }
    EXPECT_EQ(read_file("dst"), contents);
    EXPECT_EQ(read_file("src"), contents);
}

}  // namespace
