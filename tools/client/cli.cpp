#include "tools/client/cli.h"

#include <cctype>
#include <cstdint>
#include <string_view>

#include "tools/client/frame_codec.h"
#include "tools/client/requests.h"

namespace zvc {
namespace {

struct CommandInfo {
    Command command;
    const char* name;
    const char* synopsis;
    const char* text;
    const char* options;  // the options of this subcommand besides the common ones
};

constexpr const char* kCommonOptions =
    "Common options:\n"
    "  --host HOST       gateway address or host name (default 127.0.0.1)\n"
    "  --port PORT       gateway TCP port (default 52554)\n"
    "  --timeout SECS    how long to wait for the connection and for each answer\n"
    "                    (default 5; fractions allowed)\n"
    "  -h, --help        show this help and exit\n";

constexpr const char* kExitText =
    "Exit status: 0 success, 1 failure (error answer, time-out, lost connection), "
    "2 usage error.\n";

const CommandInfo kCommands[] = {
    {Command::Register, "register", "register ROLE [HWADDR ADDRTEXT]",
     "Registers with the gateway (command 25) and prints the name the gateway gave this\n"
     "connection. Then prints every notice it receives, one per line, until interrupted:\n"
     "  26 NAME MATCH   a role-2 peer is present (MATCH 1: it answered a device search)\n"
     "  174 NAME        a role-2 peer left\n"
     "ROLE is 0 to 15. HWADDR is six hexadecimal bytes joined by ':'; a registration\n"
     "with it ends any other connection that registered the same address. ADDRTEXT is\n"
     "the address text compared with a pending device search (at most 39 characters).\n",
     "  --once            exit after the gateway's answer\n"},
    {Command::Send, "send", "send CODE TARGET [TEXT...]",
     "Sends one frame with code CODE to the peer named TARGET (its address:port); the\n"
     "gateway relays it with this connection's name in place of TARGET. The words of\n"
     "TEXT follow, joined by single blanks. Codes the gateway answers itself (22, 25,\n"
     "191, 193, 194, 197, 202, 205) are not relayed and are refused here. Exits once\n"
     "the gateway has taken the frame.\n",
     "  --reply           wait for one frame and print it as listen does\n"},
    {Command::Listen, "listen", "listen",
     "Registers (role 0 unless --role says otherwise), prints the connection's name on\n"
     "standard error, then prints every frame it receives, one per line: the code, a\n"
     "blank and the payload, with a backslash doubled, tab, CR and LF as \\t \\r \\n and\n"
     "other non-printable bytes as \\xHH.\n",
     "  --role ROLE       register with this role (0 to 15)\n"
     "  --count N         exit after N frames\n"},
    {Command::Search, "search", "search TARGET",
     "Asks the gateway for a device search (command 22): from each of its addresses it\n"
     "sends an announcement to TARGET (a dotted IPv4 address), UDP port 12390. The\n"
     "gateway sends no answer; this exits once it has taken the request.\n",
     ""},
    {Command::Get, "get", "get REMOTE [LOCAL]",
     "Downloads the gateway file REMOTE, 1024 bytes per request, into LOCAL (default:\n"
     "the last part of REMOTE; '-' writes to standard output). The file is written\n"
     "under LOCAL.part and renamed when complete. Peers on other machines may name only\n"
     "plain files in the gateway's working directory; the gateway does not answer for\n"
     "missing or refused files, which therefore end in a time-out.\n",
     "  -q, --quiet       no progress bar (it is shown only on a terminal anyway)\n"
     "  --window N        chunk requests outstanding at once, 1 to 8 (default 4)\n"},
    {Command::Put, "put", "put LOCAL",
     "Uploads LOCAL ('-' reads standard input) into a new gateway file (command 191,\n"
     "then 194 per 1024 bytes) and prints the name the gateway gave it.\n",
     "  -q, --quiet       no progress bar (it is shown only on a terminal anyway)\n"},
    {Command::Delete, "delete", "delete NAME", "Deletes the gateway file NAME (command 197).\n",
     ""},
};

const CommandInfo* find_info(Command command) {
    for (const CommandInfo& info : kCommands) {
        if (info.command == command) return &info;
    }
    return nullptr;
}

Command find_command_named(std::string_view name) {
    for (const CommandInfo& info : kCommands) {
        if (name == info.name) return info.command;
    }
    return Command::None;
}

bool parse_int(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t* out) {
    std::uint64_t value = 0;
    if (!parse_unsigned(text, static_cast<std::uint64_t>(high), &value)) return false;
    if (static_cast<std::int64_t>(value) < low) return false;
    *out = static_cast<std::int64_t>(value);
    return true;
}

// Seconds with an optional fraction, to milliseconds: "5", "0.25". Positive, at most a day.
bool parse_seconds(const std::string& text, int* out_ms) {
    std::uint64_t ms = 0;
    std::size_t i = 0;
    int digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        ms = ms * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (ms > 86400) return false;
    }
    ms *= 1000;
    if (i < text.size() && text[i] == '.') {
        std::uint64_t scale = 100;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
            ms += static_cast<std::uint64_t>(text[i] - '0') * scale;
            scale /= 10;
        }
    }
    if (i != text.size() || digits == 0 || ms == 0 || ms > 86400000) return false;
    *out_ms = static_cast<int>(ms);
    return true;
}

bool has_control_or_quote(const std::string& text) {
    for (char c : text) {
        if (c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    }
    return false;
}

bool has_space(const std::string& text) {
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f') return true;
    }
    return false;
}

std::string base_name(const std::string& path) {
    const std::size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// Which options a subcommand takes besides the common ones.
bool option_applies(std::string_view option, Command command) {
    if (option == "--once") return command == Command::Register;
    if (option == "--reply") return command == Command::Send;
    if (option == "--role" || option == "--count") return command == Command::Listen;
    if (option == "--window") return command == Command::Get;
    if (option == "--quiet" || option == "-q") {
        return command == Command::Get || command == Command::Put;
    }
    return true;
}

bool check_operands(Invocation* inv, std::string* error) {
    std::vector<std::string>& ops = inv->operands;
    const std::size_t n = ops.size();
    auto fail = [error](std::string text) {
        *error = std::move(text);
        return false;
    };
    switch (inv->command) {
        case Command::Register: {
            if (n != 1 && n != 3) return fail("expected ROLE, or ROLE HWADDR ADDRTEXT");
            int role = 0;
            if (!valid_role(ops[0], &role)) return fail("ROLE must be a number from 0 to 15");
            if (n == 3) {
                if (!valid_hardware_address(ops[1])) {
                    return fail("HWADDR must be six hexadecimal bytes joined by ':'");
                }
                if (ops[2].empty() || ops[2].size() > 39 || has_space(ops[2])) {
                    return fail("ADDRTEXT must be one word of at most 39 characters");
                }
            }
            return true;
        }
        case Command::Send: {
            if (n < 2) return fail("expected CODE TARGET [TEXT...]");
            std::int64_t code = 0;
            if (!parse_int(ops[0], 0, 65535, &code)) return fail("CODE must be from 0 to 65535");
            if (gateway_handles(static_cast<std::uint16_t>(code))) {
                return fail("code " + ops[0] +
                            " is answered by the gateway itself and never relayed");
            }
            if (ops[1].empty() || has_space(ops[1]) || ops[1].find('"') != std::string::npos) {
                return fail("TARGET must be one word, a peer name such as 10.0.0.5:40000");
            }
            std::size_t size = ops[1].size();
            for (std::size_t i = 2; i < n; ++i) size += 1 + ops[i].size();
            if (size > kGatewayMaxPayload) {
                return fail("the frame text is " + std::to_string(size) +
                            " bytes; the gateway takes at most 2044");
            }
            return true;
        }
        case Command::Listen:
            if (n != 0) return fail("listen takes no operands");
            return true;
        case Command::Search:
            if (n != 1) return fail("expected TARGET");
            if (!valid_ipv4(ops[0])) return fail("TARGET must be a dotted IPv4 address");
            return true;
        case Command::Get: {
            if (n != 1 && n != 2) return fail("expected REMOTE [LOCAL]");
            if (ops[0].empty() || has_control_or_quote(ops[0])) {
                return fail("REMOTE must be a file name without double quotes");
            }
            if (n == 1) {
                const std::string local = base_name(ops[0]);
                if (local.empty() || local == "." || local == "..") {
                    return fail("give LOCAL: '" + ops[0] + "' names no file");
                }
                ops.push_back(local);
            }
            if (ops[1].empty()) return fail("LOCAL must not be empty");
            return true;
        }
        case Command::Put:
            if (n != 1) return fail("expected LOCAL");
            if (ops[0].empty()) return fail("LOCAL must not be empty");
            return true;
        case Command::Delete:
            if (n != 1) return fail("expected NAME");
            if (ops[0].empty() || has_control_or_quote(ops[0])) {
                return fail("NAME must be a file name without double quotes");
            }
            return true;
        case Command::None:
            break;
    }
    return fail("no subcommand");
}

}  // namespace

const char* command_name(Command command) {
    const CommandInfo* info = find_info(command);
    return info == nullptr ? "" : info->name;
}

bool valid_role(const std::string& text, int* role) {
    std::int64_t value = 0;
    if (!parse_int(text, 0, 15, &value)) return false;
    *role = static_cast<int>(value);
    return true;
}

bool valid_hardware_address(const std::string& text) {
    int groups = 0;
    std::size_t i = 0;
    while (true) {
        int digits = 0;
        while (i < text.size() && digits < 3 &&
               std::isxdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            ++digits;
        }
        if (digits < 1 || digits > 2) return false;
        ++groups;
        if (i == text.size()) return groups == 6;
        if (text[i] != ':' || groups == 6) return false;
        ++i;
    }
}

bool valid_ipv4(const std::string& text) {
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) ++i;
        std::uint64_t value = 0;
        if (!parse_unsigned(std::string_view(text).substr(start, i - start), 255, &value)) {
            return false;
        }
        ++parts;
        if (i == text.size()) return parts == 4;
        if (text[i] != '.' || parts == 4) return false;
        ++i;
    }
}

bool parse_command_line(int argc, const char* const* argv, Invocation* inv, std::string* error) {
    *inv = Invocation{};
    bool options_done = false;
    std::vector<std::string> seen;  // option names, checked once the subcommand is known
    auto fail = [error](std::string text) {
        *error = std::move(text);
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool is_option = !options_done && arg.size() > 1 && arg[0] == '-';
        if (!is_option) {
            if (inv->command == Command::None) {
                inv->command = find_command_named(arg);
                if (inv->command == Command::None) return fail("unknown subcommand '" + arg + "'");
            } else {
                inv->operands.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool has_value = false;
        const std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            has_value = true;
        }
        auto take_value = [&]() {
            if (has_value) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        const bool wants_value = name == "--host" || name == "--port" || name == "--timeout" ||
                                 name == "--role" || name == "--count" || name == "--window";
        const bool flag = name == "-h" || name == "--help" || name == "--once" ||
                          name == "--reply" || name == "-q" || name == "--quiet";
        if (!wants_value && !flag) return fail("unknown option '" + arg + "'");
        if (flag && has_value) return fail("option " + name + " takes no value");
        if (wants_value && !take_value()) return fail("option " + name + " needs a value");
        seen.push_back(name);

        if (name == "-h" || name == "--help") {
            inv->options.help = true;
        } else if (name == "--once") {
            inv->options.once = true;
        } else if (name == "--reply") {
            inv->options.reply = true;
        } else if (name == "-q" || name == "--quiet") {
            inv->options.quiet = true;
        } else if (name == "--host") {
            if (value.empty()) return fail("--host needs an address or host name");
            inv->options.host = value;
        } else if (name == "--port") {
            std::int64_t port = 0;
            if (!parse_int(value, 1, 65535, &port)) return fail("--port must be from 1 to 65535");
            inv->options.port = static_cast<std::uint16_t>(port);
        } else if (name == "--timeout") {
            if (!parse_seconds(value, &inv->options.timeout_ms)) {
                return fail("--timeout must be a positive number of seconds (at most 86400)");
            }
        } else if (name == "--role") {
            if (!valid_role(value, &inv->options.role)) {
                return fail("--role must be a number from 0 to 15");
            }
        } else if (name == "--window") {
            std::int64_t window = 0;
            if (!parse_int(value, 1, kMaxWindow, &window)) {
                return fail("--window must be from 1 to " + std::to_string(kMaxWindow));
            }
            inv->options.window = static_cast<int>(window);
        } else if (name == "--count") {
            if (!parse_int(value, 1, INT64_MAX, &inv->options.count)) {
                return fail("--count must be a positive number");
            }
        }
    }
    // Help wins over everything else, so that "get --help" works without operands.
    if (inv->options.help) return true;
    if (inv->command == Command::None) return fail("no subcommand given");
    for (const std::string& name : seen) {
        if (!option_applies(name, inv->command)) {
            return fail("option " + name + " does not apply to " + command_name(inv->command));
        }
    }
    return check_operands(inv, error);
}

std::string usage_text(Command command) {
    const CommandInfo* info = find_info(command);
    if (info == nullptr) {
        std::string text =
            "Usage: quorvel-client SUBCOMMAND [OPTIONS] [OPERANDS]\n"
            "A command-line client for the Quorvel gateway.\n\n"
            "Subcommands:\n";
        for (const CommandInfo& each : kCommands) {
            text += "  ";
            text += each.synopsis;
            text += "\n";
        }
        text += "\n";
        text += kCommonOptions;
        text += "\n'quorvel-client SUBCOMMAND --help' describes one subcommand.\n";
        text += kExitText;
        return text;
    }
    std::string text = std::string("Usage: quorvel-client ") + info->synopsis + " [OPTIONS]\n";
    text += info->text;
    if (info->options[0] != '\0') {
        text += "\nOptions:\n";
        text += info->options;
    }
    text += "\n";
    text += kCommonOptions;
    text += kExitText;
    return text;
}

}  // namespace zvc
