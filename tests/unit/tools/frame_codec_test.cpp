#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/client/frame_codec.h"

namespace {

using namespace std::string_literals;
using zvc::Chunk;
using zvc::Frame;
using zvc::FrameReader;
using zvc::TransferNames;

TEST(FrameEncode, HeaderIsBigEndianLengthThenCode) {
    EXPECT_EQ(zvc::encode_frame(300, "ab"),
              "\x00\x02\x01\x2C"s
              "ab");
    EXPECT_EQ(zvc::encode_frame(999, ""), "\x00\x00\x03\xE7"s);
    const std::string big(65535, 'x');
    const std::string encoded = zvc::encode_frame(65535, big);
    EXPECT_EQ(encoded.substr(0, 4), "\xFF\xFF\xFF\xFF"s);
    EXPECT_EQ(encoded.size(), 65539u);
}

TEST(FrameReader, CutsFramesWhateverTheReadBoundaries) {
    const std::string stream =
        "\x00\x03\x00\x18"s
        "a\0b"s
        "\x00\x00\x00\xAE"s
        "\x04\x00\x00\xC2"s +
        std::string(1024, '\xFF');
    // Every split point of the stream, fed in two pieces.
    for (std::size_t cut = 0; cut <= stream.size(); cut += (cut < 20 ? 1 : 97)) {
        FrameReader reader;
        std::vector<Frame> got;
        Frame frame;
        reader.feed(stream.data(), cut);
        while (reader.next(&frame)) got.push_back(frame);
        reader.feed(stream.data() + cut, stream.size() - cut);
        while (reader.next(&frame)) got.push_back(frame);
        ASSERT_EQ(got.size(), 3u) << "cut at " << cut;
        EXPECT_EQ(got[0].code, 24);
        EXPECT_EQ(got[0].payload, "a\0b"s);
        EXPECT_EQ(got[1].code, 174);
        EXPECT_EQ(got[1].payload, "");
        EXPECT_EQ(got[2].code, 194);
        EXPECT_EQ(got[2].payload, std::string(1024, '\xFF'));
        EXPECT_EQ(reader.buffered(), 0u);
    }
}

TEST(FrameReader, PartialFrameWaits) {
    FrameReader reader;
    Frame frame;
    reader.feed(
        "\x00\x0A\x00\x18"
        "123456789",
        13);
    EXPECT_FALSE(reader.next(&frame));
    EXPECT_EQ(reader.buffered(), 13u);
    reader.feed("0", 1);
    ASSERT_TRUE(reader.next(&frame));
    EXPECT_EQ(frame.payload, "1234567890");
}

TEST(SplitWords, LikeTheGatewaySplitsArguments) {
    struct Case {
        std::string text;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"", {}},
        {"  \t ", {}},
        {"- \"a b\" \"\" 7 0 0 0 1024", {"-", "a b", "", "7", "0", "0", "0", "1024"}},
        {"x 191 \"Cannnot open file.\"", {"x", "191", "Cannnot open file."}},
        {"a\tb\r\n", {"a", "b"}},
        {"a \"open end", {"a", "open end"}},
    };
    for (const Case& c : cases) EXPECT_EQ(zvc::split_words(c.text), c.words) << c.text;
}

TEST(EscapePayload, OneLineWithEveryByteVisible) {
    EXPECT_EQ(zvc::escape_payload("10.0.0.5:700 a b"), "10.0.0.5:700 a b");
    EXPECT_EQ(zvc::escape_payload("a\\b\tc\r\n"), "a\\\\b\\tc\\r\\n");
    EXPECT_EQ(zvc::escape_payload("\0\x7F\xFF\""s), "\\x00\\x7F\\xFF\"");
}

TEST(TransferTexts, RequestsAsTheGatewayReadsThem) {
    const TransferNames names{"report \"x\".txt", "local", "17"};
    EXPECT_EQ(zvc::create_file_text(names), "- \"report 'x'.txt\" \"local\" 0");
    EXPECT_EQ(zvc::chunk_request_text(names, 4096, 1024),
              "- \"report 'x'.txt\" \"local\" 17 0 0 4096 1024");
    // A file name with a blank is quoted so that it stays one argument.
    EXPECT_EQ(zvc::chunk_request_text({"a", "b", "my file"}, 0, 1024),
              "- \"a\" \"b\" \"my file\" 0 0 0 1024");
    // One blank between fields and one before the data, which may begin with blanks.
    EXPECT_EQ(zvc::chunk_write_payload({"a", "", "3"}, false, 1024, "  \0x"s),
              "- \"a\" \"\" 3 0 0 0 1024 4   \0x"s);
    EXPECT_EQ(zvc::chunk_write_payload({"a", "", "3"}, true, 2048, ""),
              "- \"a\" \"\" 3 0 0 1 2048 0 ");
}

TEST(ParseChunk, ReadsTheGatewaysChunkFrame) {
    const TransferNames names{"1", "out.bin", "1"};
    Chunk chunk;
    // The chunk's data points into the payload, which has to outlive it.
    const std::string payload = "- \"1\" \"out.bin\" 1 0 0 0 2048 3 \0 \n"s;
    ASSERT_TRUE(zvc::parse_chunk(names, payload, &chunk));
    EXPECT_FALSE(chunk.end);
    EXPECT_EQ(chunk.offset, 2048u);
    EXPECT_EQ(chunk.data, "\0 \n"s);

    ASSERT_TRUE(zvc::parse_chunk(names, "- \"1\" \"out.bin\" 1 0 0 1 3000 0 ", &chunk));
    EXPECT_TRUE(chunk.end);
    EXPECT_EQ(chunk.data.size(), 0u);

    // The gateway writes the file position bare, blanks and all.
    ASSERT_TRUE(
        zvc::parse_chunk({"a", "b", "my file"}, "- \"a\" \"b\" my file 0 0 1 0 1 z", &chunk));
    EXPECT_EQ(chunk.data, "z");
}

TEST(ParseChunk, RefusesFramesThatAnswerAnotherRequest) {
    const TransferNames names{"1", "x", "1"};
    const char* bad[] = {
        "- \"1\" \"x\" 2 0 0 0 0 1 z",    // another file
        "P \"1\" \"x\" 1 0 0 0 0 1 z",    // another partner
        "- \"1\" \"x\" 1 0 0 0 0 2 z",    // count larger than the data
        "- \"1\" \"x\" 1 0 0 0 0 0 z",    // count smaller than the data
        "- \"1\" \"x\" 1 0 0 2 0 1 z",    // end flag neither 0 nor 1
        "- \"1\" \"x\" 1 0 0 0 -5 1 z",   // negative offset
        "- \"1\" \"x\" 1 0 0 0 0 1025 ",  // more than a chunk
        "- \"1\" \"x\" 1 0 0 0 0 0",      // no blank before the data
        "- \"1\" \"x\" 1 0 0 0",          // cut short
    };
    Chunk chunk;
    for (const char* text : bad) EXPECT_FALSE(zvc::parse_chunk(names, text, &chunk)) << text;
    std::string oversized = "- \"1\" \"x\" 1 0 0 0 0 1025 " + std::string(1025, 'a');
    EXPECT_FALSE(zvc::parse_chunk(names, oversized, &chunk));
}

TEST(GatewayHandles, OnlyTheCommandsItAnswers) {
    for (int code : {22, 25, 191, 193, 194, 197, 202, 205}) {
        EXPECT_TRUE(zvc::gateway_handles(static_cast<std::uint16_t>(code))) << code;
    }
    for (int code : {0, 23, 24, 26, 174, 192, 198, 199, 300, 999, 65535}) {
        EXPECT_FALSE(zvc::gateway_handles(static_cast<std::uint16_t>(code))) << code;
    }
}

}  // namespace
