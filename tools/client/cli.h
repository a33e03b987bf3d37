// The command line of quorvel-client: subcommands, their operands and options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zvc {

enum class Command { None, Register, Send, Listen, Search, Get, Put, Delete };

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 52554;
    int timeout_ms = 5000;
    bool help = false;
    bool once = false;        // register: exit after the answer
    bool quiet = false;       // get, put: no progress bar
    bool reply = false;       // send: wait for one frame and print it
    std::int64_t count = -1;  // listen: stop after this many frames
    int role = 0;             // listen: the role it registers with
    int window = 4;           // get: chunk requests outstanding at once
};

struct Invocation {
    Command command = Command::None;
    Options options;
    std::vector<std::string> operands;
};

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Parses argv (argv[0] is the program). On a usage error returns false and fills *error
// with one line; invocation->command then says which subcommand's help to point to.
bool parse_command_line(int argc, const char* const* argv, Invocation* invocation,
                        std::string* error);

// The help text of one subcommand, or of the program for Command::None.
std::string usage_text(Command command);
const char* command_name(Command command);

// Operand checks shared with the subcommands.
bool valid_role(const std::string& text, int* role);
bool valid_hardware_address(const std::string& text);
bool valid_ipv4(const std::string& text);

}  // namespace zvc
