// Remote peers may name only plain files inside the working directory; peers on the
// gateway's own machine (127.0.0.0/8) may name any file. (Creation by 191 and 202 makes
// counter names and is not restricted; the create tests run with a remote peer.)
#include "tests/unit/commands/file_fixture.h"

namespace {

using ConfinementTest = FileServiceTest;

TEST_F(ConfinementTest, OnlyLoopbackPeersNameFilesOutsideTheWorkingDirectory) {
    struct Case {
        const char* name;
        bool remote_allowed;
    };
    const Case names[] = {
        {"1", true},          {"data.bin", true},     {"...", false},      {"-1", true},
        {". .", false},       {"CON", false},         {"nul.txt", false},  {"Com1", false},
        {"LPT9 .log", false}, {"aux", false},         {"COM0", true},      {"CONSOLE", true},
        {"prn1", true},       {"con_", true},         {"", false},         {".", false},
        {"..", false},        {"/etc/passwd", false}, {"../x", false},     {"a/b", false},
        {"x/", false},        {"a\\b", false},        {"\\\\h\\s", false}, {"C:", false},
        {"C:x", false},       {"c:\\x", false},       {"a:b", false},
    };
    const std::uint32_t remote_addrs[] = {kRemoteAddr, 0x7EFFFFFF, 0x80000000, 0};
    const std::uint32_t loopback_addrs[] = {kLoopbackAddr, 0x7F000000, 0x7FFFFFFF};
    int index = 0;
    for (std::uint32_t addr : remote_addrs) {
        TestPeer peer = add_peer(("remote" + std::to_string(index++)).c_str(), addr);
        for (const Case& c : names) {
            EXPECT_EQ(file_name_allowed(peer.peer, c.name), c.remote_allowed)
                << std::hex << addr << " '" << c.name << "'";
        }
    }
    for (std::uint32_t addr : loopback_addrs) {
        TestPeer peer = add_peer(("local" + std::to_string(index++)).c_str(), addr);
        for (const Case& c : names) {
            EXPECT_TRUE(file_name_allowed(peer.peer, c.name))
                << std::hex << addr << " '" << c.name << "'";
        }
    }
}

// A file next to the working directory, named relatively and absolutely: a remote peer is
// answered as if it did not exist and the file is left alone; a loopback peer reads,
// writes and deletes it.
TEST_F(ConfinementTest, RefusedNamesAreAnsweredLikeUnusableFiles) {
    const std::filesystem::path secret = root_ / "secret";
    const std::string names[] = {"../secret", secret.string()};
    TestPeer remote = add_peer("R");
    TestPeer local = add_peer("L", kLoopbackAddr);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        write_file(secret, "secret");
        remote.socket->sent.clear();
        local.socket->sent.clear();

        run(read_chunk, remote.peer, kCodeChunkRequest, "P a b " + name + " 0 0 0 10");
        run(read_chunk, remote.peer, kCodeChunkRequest, "P " + name + " b f 0 1 0 10");
        EXPECT_EQ(remote.sent(), "");
        run(write_chunk, remote.peer, kCodeChunk, "P a b " + name + " 0 0 0 0 2 xx");
        run(delete_file, remote.peer, kCodeDeleteFile, "P " + name);
        run(delete_file, remote.peer, kCodeDeleteFile2, "P " + name);
        EXPECT_EQ(remote.sent(),
                  "\x00\x1a\x03\xe7"
                  "P 194 \"Cannnot open file.\""
                  "\x00\x17\x03\xe7"
                  "P 197 \"File not exist.\""
                  "\x00\x17\x03\xe7"
                  "P 205 \"File not exist.\""s);
        EXPECT_EQ(read_file(secret), "secret");

        run(read_chunk, local.peer, kCodeChunkRequest, "P " + name + " b f 0 1 0 10");
        const std::string tail = " 0 1 1 0 6 secret";  // end flag 1, offset 0, 6 bytes
        ASSERT_GE(local.sent().size(), tail.size());
        EXPECT_EQ(local.sent().substr(local.sent().size() - tail.size()), tail);
        EXPECT_EQ(local.sent().substr(2, 2), "\x00\xc2"s);
        local.socket->sent.clear();
        run(write_chunk, local.peer, kCodeChunk, "P a b " + name + " 0 0 1 0 2 xx");
        EXPECT_EQ(read_file(secret), "xxcret");
        local.socket->sent.clear();
        run(delete_file, local.peer, kCodeDeleteFile2, "P " + name);
        EXPECT_EQ(local.sent(),
                  "\x00\x04\x00\xce"
                  "P OK"s);
        EXPECT_FALSE(std::filesystem::exists(secret));
    }
}

}  // namespace
