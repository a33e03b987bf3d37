// Commands 191 and 202 (create an empty file under the next counter name) and 197/205
// (delete a file), checked byte for byte on the wire.
#include "tests/unit/commands/file_fixture.h"

namespace {

using CreateDeleteTest = FileServiceTest;

TEST_F(CreateDeleteTest, CreateAnswersWithTheFirstChunkRequestAndCountsUp) {
    TestPeer r = add_peer("R");
    run(create_temp_file, r.peer, kCodeCreateFile, "P \"a b\" c 0");
    run(create_temp_file, r.peer, kCodeCreateFile, "P \"a b\" c 7 ignored");

    EXPECT_EQ(r.sent(),
              "\x00\x18\x00\xc1"
              "P \"a b\" \"c\" 1 0 0 0 1024"
              "\x00\x18\x00\xc1"
              "P \"a b\" \"c\" 2 7 0 0 1024"s);
    EXPECT_TRUE(std::filesystem::is_regular_file("1"));
    EXPECT_EQ(std::filesystem::file_size("1"), 0u);
    EXPECT_EQ(std::filesystem::file_size("2"), 0u);
    EXPECT_EQ(temp_file_counter(), 3);
}

TEST_F(CreateDeleteTest, CreateEmptiesAFileLeftFromAnEarlierRun) {
    TestPeer r = add_peer("R");
    write_file("1", "old contents");
    run(create_temp_file, r.peer, kCodeCreateFile, "P a b 0");
    EXPECT_EQ(std::filesystem::file_size("1"), 0u);
}

TEST_F(CreateDeleteTest, MalformedCreateIsIgnoredAndKeepsTheCounter) {
    TestPeer r = add_peer("R");
    TestPeer q = add_peer("Q");
    for (const char* payload : {"", "   ", "Q a b", "Q \"a b c 0", "Q a \"b 0"}) {
        SCOPED_TRACE(payload);
        run(create_temp_file, r.peer, kCodeCreateFile, payload);
        run(create_temp_file_notify, r.peer, kCodeCreateFileNotify, payload);
    }
    EXPECT_EQ(r.sent(), "");
    EXPECT_EQ(q.sent(), "");
    EXPECT_EQ(temp_file_counter(), 1);
    EXPECT_TRUE(std::filesystem::is_empty("."));
}

// A directory named like the next file makes the creation fail: the name is used up anyway
// and the next command goes on with the following one.
TEST_F(CreateDeleteTest, FailedCreationUsesUpTheName) {
    TestPeer r = add_peer("R");
    TestPeer q = add_peer("Q");
    std::filesystem::create_directory("1");
    std::filesystem::create_directory("3");

    run(create_temp_file, r.peer, kCodeCreateFile, "P \"a b\" c 0");
    run(create_temp_file, r.peer, kCodeCreateFile, "P \"a b\" c 0");
    run(create_temp_file_notify, r.peer, kCodeCreateFileNotify, "Q a b x");

    EXPECT_EQ(r.sent(),
              "\x00\x1a\x03\xe7"
              "P 191 \"Cannnot open file.\""
              "\x00\x18\x00\xc1"
              "P \"a b\" \"c\" 2 0 0 0 1024"
              "\x00\x1a\x03\xe7"
              "Q 202 \"Cannnot open file.\""s);
    EXPECT_EQ(q.sent(), "");  // no notice for a file that was not made
    EXPECT_EQ(std::filesystem::file_size("2"), 0u);
    EXPECT_EQ(temp_file_counter(), 4);
}

TEST_F(CreateDeleteTest, CreateWithNoticeTellsAPartnerThatIsFound) {
    struct Case {
        const char* name;
        const char* payload;
        std::string to_requester;
        std::string to_partner;
    };
    const Case cases[] = {
        {"partner found", "Q a b x",
         "\x00\x18\x00\xc1"
         "R Q \"a\" \"b\" 3 2 0 0 1024"s,
         "\x00\x0b\x00\xca"
         "R \"a\" \"b\" x"s},
        {"partner not listed", "Z a b x",
         "\x00\x18\x00\xc1"
         "R Z \"a\" \"b\" 3 2 0 0 1024"s,
         ""},
    };
    TestPeer r = add_peer("R");
    TestPeer q = add_peer("Q");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.socket->sent.clear();
        q.socket->sent.clear();
        temp_file_counter() = 3;
        run(create_temp_file_notify, r.peer, kCodeCreateFileNotify, c.payload);
        EXPECT_EQ(r.sent(), c.to_requester);
        EXPECT_EQ(q.sent(), c.to_partner);
        EXPECT_EQ(std::filesystem::file_size("3"), 0u);
        EXPECT_EQ(temp_file_counter(), 4);
    }
}

TEST_F(CreateDeleteTest, DeleteConfirmsOnceAndThenReportsAMissingFile) {
    struct Case {
        std::uint32_t code;
        std::string answers;
    };
    const Case cases[] = {
        {kCodeDeleteFile,
         "\x00\x04\x00\xc6"
         "P OK"
         "\x00\x17\x03\xe7"
         "P 197 \"File not exist.\""s},
        {kCodeDeleteFile2,
         "\x00\x04\x00\xce"
         "P OK"
         "\x00\x17\x03\xe7"
         "P 205 \"File not exist.\""s},
    };
    TestPeer r = add_peer("R");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        run(create_temp_file, r.peer, kCodeCreateFile, "P a b 0");
        const std::string name = std::to_string(temp_file_counter() - 1);
        r.socket->sent.clear();

        run(delete_file, r.peer, c.code, "P " + name);
        EXPECT_FALSE(std::filesystem::exists(name));
        run(delete_file, r.peer, c.code, "P " + name + " extra");
        EXPECT_EQ(r.sent(), c.answers);
    }
}

TEST_F(CreateDeleteTest, DeleteWithoutAFileNameIsIgnored) {
    TestPeer r = add_peer("R");
    write_file("P", "x");
    for (const char* payload : {"", "P", "P \"1", "  P  "}) {
        run(delete_file, r.peer, kCodeDeleteFile, payload);
    }
    EXPECT_EQ(r.sent(), "");
    EXPECT_TRUE(std::filesystem::exists("P"));
}

}  // namespace
