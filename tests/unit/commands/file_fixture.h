// Shared set-up of the file service tests: a fresh working directory per test, fake peers
// on fake connections, and handler calls made the way the dispatcher makes them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "commands/file_commands.h"
#include "gateway/frame.h"
#include "gateway/name_table.h"
#include "gateway/peer.h"
#include "tests/unit/gateway/gateway_fixture.h"
#include "tests/unit/support/fake_transport.h"

using namespace std::string_literals;

inline constexpr std::uint32_t kRemoteAddr = 0x0A000005;    // 10.0.0.5
inline constexpr std::uint32_t kLoopbackAddr = 0x7F000001;  // 127.0.0.1

struct TestPeer {
    Peer* peer;
    FakeSocket* socket;
    const std::string& sent() const { return socket->sent; }
};

class FileServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_state();
        name_table_create();
        char pattern[] = "/tmp/zv-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        work_ = root_ / "work";
        std::filesystem::create_directory(work_);
        saved_dir_ = std::filesystem::current_path();
        std::filesystem::current_path(work_);
    }

    void TearDown() override {
        std::filesystem::current_path(saved_dir_);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
        reset_state();
    }

    // A peer on its own fake connection; remote unless an address says otherwise.
    TestPeer add_peer(const char* name, std::uint32_t addr = kRemoteAddr) {
        sockets_.push_back(std::make_unique<FakeSocket>());
        FakeSocket* socket = sockets_.back().get();
        Connection* connection = make_fake_connection(socket);
        EXPECT_NE(connection, nullptr);
        connection->peer_addr = addr;
        Peer* peer = peer_create(connection, name);
        EXPECT_NE(peer, nullptr);
        return {peer, socket};
    }

    // Like the dispatcher: the payload in a buffer of exactly length + 1 bytes with a NUL at
    // payload[length], so a handler reading past the frame trips the sanitizer.
    static void run(CommandHandler handler, Peer* peer, std::uint32_t code,
                    const std::string& payload) {
        std::vector<char> buffer(payload.begin(), payload.end());
        buffer.push_back('\0');
        handler(peer, code, static_cast<std::uint32_t>(payload.size()), buffer.data());
    }

    static void write_file(const std::filesystem::path& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    static std::string read_file(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Bytes that differ at every position of a chunk, so a chunk taken from the wrong
    // offset cannot pass for the right one.
    static std::string pattern_bytes(std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        return bytes;
    }

    std::filesystem::path root_;  // holds the working directory and files outside it
    std::filesystem::path work_;

private:
    static void reset_state() {
        reset_gateway_state();
        temp_file_counter() = 1;
    }

    std::vector<std::unique_ptr<FakeSocket>> sockets_;
    std::filesystem::path saved_dir_;
};
