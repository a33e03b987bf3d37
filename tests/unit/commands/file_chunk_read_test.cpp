// Command 193: one chunk read from a gateway file, sent back as a chunk frame 194 with its
// raw bytes and reported with 199 to the side the mode selects.
#include "tests/unit/commands/file_fixture.h"

namespace {

class ChunkReadTest : public FileServiceTest {
protected:
    void SetUp() override {
        FileServiceTest::SetUp();
        r_ = add_peer("R");
        p_ = add_peer("P");
    }

    TestPeer r_{};  // requester
    TestPeer p_{};  // partner
};

// Each row: a file of the given size named f, the request's offset and size texts, the
// chunk frame's header and text, where its data starts in the file and how many bytes it
// holds, and the report the partner gets (mode 0).
TEST_F(ChunkReadTest, ReadsChunksWithTheirEndFlags) {
    struct Case {
        std::size_t file_size;
        const char* offset;
        const char* size;
        std::string chunk_head;
        std::size_t data_from;
        std::size_t data_count;
        std::string report;
    };
    const Case cases[] = {
        // 2500 bytes in three chunks: the short last one ran into the end.
        {2500, "0", "1024",
         "\x04\x19\x00\xc2"
         "P \"a\" \"b\" f 0 0 0 0 1024 "s,
         0, 1024,
         "\x00\x18\x00\xc7"
         "R \"a\" \"b\" 0 0 0 0 1024 1"s},
        {2500, "1024", "1024",
         "\x04\x1c\x00\xc2"
         "P \"a\" \"b\" f 0 0 0 1024 1024 "s,
         1024, 1024,
         "\x00\x1b\x00\xc7"
         "R \"a\" \"b\" 0 0 0 1024 1024 1"s},
        {2500, "2048", "1024",
         "\x01\xdf\x00\xc2"
         "P \"a\" \"b\" f 0 0 1 2048 452 "s,
         2048, 452,
         "\x00\x1a\x00\xc7"
         "R \"a\" \"b\" 0 0 1 2048 452 1"s},
        // 2048 bytes: a chunk that ends exactly at the end does not see it; the next one
        // gets nothing and the flag.
        {2048, "1024", "1024",
         "\x04\x1c\x00\xc2"
         "P \"a\" \"b\" f 0 0 0 1024 1024 "s,
         1024, 1024,
         "\x00\x1b\x00\xc7"
         "R \"a\" \"b\" 0 0 0 1024 1024 1"s},
        {2048, "2048", "1024",
         "\x00\x19\x00\xc2"
         "P \"a\" \"b\" f 0 0 1 2048 0 "s,
         0, 0,
         "\x00\x18\x00\xc7"
         "R \"a\" \"b\" 0 0 1 2048 0 1"s},
        // Size 0 reads nothing and does not reach the end.
        {2500, "0", "0",
         "\x00\x16\x00\xc2"
         "P \"a\" \"b\" f 0 0 0 0 0 "s,
         0, 0,
         "\x00\x15\x00\xc7"
         "R \"a\" \"b\" 0 0 0 0 0 1"s},
        // Sizes above 1024, negative ones included, ask for a whole chunk.
        {2500, "0", "4096",
         "\x04\x19\x00\xc2"
         "P \"a\" \"b\" f 0 0 0 0 1024 "s,
         0, 1024,
         "\x00\x18\x00\xc7"
         "R \"a\" \"b\" 0 0 0 0 1024 1"s},
        {2500, "0", "-1",
         "\x04\x19\x00\xc2"
         "P \"a\" \"b\" f 0 0 0 0 1024 "s,
         0, 1024,
         "\x00\x18\x00\xc7"
         "R \"a\" \"b\" 0 0 0 0 1024 1"s},
        {2500, "2000", "500",
         "\x02\x0f\x00\xc2"
         "P \"a\" \"b\" f 0 0 0 2000 500 "s,
         2000, 500,
         "\x00\x1a\x00\xc7"
         "R \"a\" \"b\" 0 0 0 2000 500 1"s},
        // Past the end: nothing read, end reached.
        {2500, "5000", "1024",
         "\x00\x19\x00\xc2"
         "P \"a\" \"b\" f 0 0 1 5000 0 "s,
         0, 0,
         "\x00\x18\x00\xc7"
         "R \"a\" \"b\" 0 0 1 5000 0 1"s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.file_size) + " bytes at " + c.offset + " size " + c.size);
        const std::string contents = pattern_bytes(c.file_size);
        write_file("f", contents);
        r_.socket->sent.clear();
        p_.socket->sent.clear();

        run(read_chunk, r_.peer, kCodeChunkRequest, "P a b f 0 0 "s + c.offset + " " + c.size);

        EXPECT_EQ(r_.sent(), c.chunk_head + contents.substr(c.data_from, c.data_count));
        EXPECT_EQ(p_.sent(), c.report);
    }
}

TEST_F(ChunkReadTest, ModeSelectsWhereTheReportGoes) {
    struct Case {
        const char* payload;
        std::string to_requester;  // before the data: the chunk frame's head
        std::string report_to_requester;
        std::string to_partner;
    };
    const Case cases[] = {
        {"P a b f 2 0 0 10",
         "\x00\x21\x00\xc2"
         "P \"a\" \"b\" f 2 0 0 0 10 "s,
         "\x00\x16\x00\xc7"
         "P \"a\" \"b\" 2 0 0 0 10 0"s,
         ""},
        // The mode is a number, not a text: 02 is mode 2.
        {"P a b f 02 0 0 10",
         "\x00\x22\x00\xc2"
         "P \"a\" \"b\" f 02 0 0 0 10 "s,
         "\x00\x17\x00\xc7"
         "P \"a\" \"b\" 02 0 0 0 10 0"s,
         ""},
        {"P a b f 3 0 0 10",
         "\x00\x21\x00\xc2"
         "P \"a\" \"b\" f 3 0 0 0 10 "s,
         "",
         "\x00\x16\x00\xc7"
         "R \"a\" \"b\" 3 0 0 0 10 1"s},
        // A partner that is not listed gets no report; the chunk still goes out.
        {"Z a b f 0 0 0 10",
         "\x00\x21\x00\xc2"
         "Z \"a\" \"b\" f 0 0 0 0 10 "s,
         "", ""},
    };
    const std::string contents = pattern_bytes(100);
    write_file("f", contents);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        r_.socket->sent.clear();
        p_.socket->sent.clear();
        run(read_chunk, r_.peer, kCodeChunkRequest, c.payload);
        EXPECT_EQ(r_.sent(), c.to_requester + contents.substr(0, 10) + c.report_to_requester);
        EXPECT_EQ(p_.sent(), c.to_partner);
    }
}

TEST_F(ChunkReadTest, SelectorReadsNameAAndKeepsTheFilePosition) {
    const std::string contents = pattern_bytes(50);
    write_file("src", contents);
    run(read_chunk, r_.peer, kCodeChunkRequest, "P src b f 0 1 0 10");
    EXPECT_EQ(r_.sent(),
              "\x00\x23\x00\xc2"
              "P \"src\" \"b\" f 0 1 0 0 10 "s +
                  contents.substr(0, 10));
    EXPECT_EQ(p_.sent(),
              "\x00\x18\x00\xc7"
              "R \"src\" \"b\" 0 1 0 0 10 1"s);
    EXPECT_FALSE(std::filesystem::exists("f"));
}

TEST_F(ChunkReadTest, RequestsThatCannotBeServedSendNothing) {
    write_file("f", pattern_bytes(100));
    std::filesystem::create_directory("dir");
    for (const char* payload : {
             "P a b f 0 0 -1 10",       // negative offset: the seek fails
             "P a b missing 0 0 0 10",  // no such file
             "P a b dir 0 0 0 10",      // opens, but cannot be read
             "P f b f 0 7 0",           // seven arguments
             "P a b f 0 0 0 \"10",      // open quote
             "P nothing b f 0 1 0 10",  // selector 1 names a missing file
             "",
         }) {
        SCOPED_TRACE(payload);
        run(read_chunk, r_.peer, kCodeChunkRequest, payload);
    }
    EXPECT_EQ(r_.sent(), "");
    EXPECT_EQ(p_.sent(), "");
}

// The chunk text has an area of 2044 bytes and the data follows it: a text that fills the
// area exactly gives the largest frame, 3072 bytes; one byte more and nothing is sent
// rather than a text cut short.
TEST_F(ChunkReadTest, ChunkTextMustFitItsAreaWhole) {
    const std::string contents = pattern_bytes(1500);
    write_file("f", contents);
    const std::string fits(2020, 'B');  // the text without them has 24 bytes

    run(read_chunk, r_.peer, kCodeChunkRequest, "P a \"" + fits + "\" f 0 0 0 1024");
    const std::string text = "P \"a\" \"" + fits + "\" f 0 0 0 0 1024 ";
    ASSERT_EQ(r_.sent().size(), 3072u);
    EXPECT_EQ(r_.sent(), "\x0b\xfc\x00\xc2"s + text + contents.substr(0, 1024));
    EXPECT_EQ(p_.sent(),
              "\x07\xfb\x00\xc7"
              "R \"a\" \""s +
                  fits + "\" 0 0 0 0 1024 1");

    r_.socket->sent.clear();
    p_.socket->sent.clear();
    run(read_chunk, r_.peer, kCodeChunkRequest, "P a \"" + fits + "B\" f 0 0 0 1024");
    EXPECT_EQ(r_.sent(), "");
    EXPECT_EQ(p_.sent(), "");
}

}  // namespace
