#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/client/cli.h"

namespace {

using zvc::Command;
using zvc::Invocation;

struct Parsed {
    bool ok;
    Invocation inv;
    std::string error;
};

Parsed parse(const std::vector<const char*>& args) {
    const char* argv[64] = {"quorvel-client"};
    int argc = 1;
    for (const char* arg : args) argv[argc++] = arg;
    Parsed p;
    p.ok = zvc::parse_command_line(argc, argv, &p.inv, &p.error);
    return p;
}

TEST(CommandLine, DefaultsAndCommonOptionsAnywhere) {
    Parsed p = parse({"delete", "7"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.inv.command, Command::Delete);
    EXPECT_EQ(p.inv.options.host, "127.0.0.1");
    EXPECT_EQ(p.inv.options.port, 52554);
    EXPECT_EQ(p.inv.options.timeout_ms, 5000);

    p = parse({"--host", "10.1.2.3", "get", "--port=4000", "1", "--timeout", "0.25", "out"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.inv.command, Command::Get);
    EXPECT_EQ(p.inv.options.host, "10.1.2.3");
    EXPECT_EQ(p.inv.options.port, 4000);
    EXPECT_EQ(p.inv.options.timeout_ms, 250);
    EXPECT_EQ(p.inv.operands, (std::vector<std::string>{"1", "out"}));
}

TEST(CommandLine, OperandsOfEachSubcommand) {
    struct Case {
        std::vector<const char*> args;
        std::vector<std::string> operands;  // after defaults are filled in
    };
    const Case cases[] = {
        {{"register", "3"}, {"3"}},
        {{"register", "2", "02:00:00:12:34:56", "10.0.0.5"},
         {"2", "02:00:00:12:34:56", "10.0.0.5"}},
        {{"register", "15", "a:B:c:D:e:F", "x"}, {"15", "a:B:c:D:e:F", "x"}},
        {{"send", "300", "10.0.0.5:700", "a", "b"}, {"300", "10.0.0.5:700", "a", "b"}},
        {{"send", "0", "t"}, {"0", "t"}},
        {{"send", "300", "t", "--", "--reply", "-x"}, {"300", "t", "--reply", "-x"}},
        {{"listen"}, {}},
        {{"search", "10.1.2.9"}, {"10.1.2.9"}},
        {{"get", "12"}, {"12", "12"}},
        {{"get", "dir/sub/name.bin"}, {"dir/sub/name.bin", "name.bin"}},
        {{"get", "C:\\data\\x.cfg", "-"}, {"C:\\data\\x.cfg", "-"}},
        {{"put", "-"}, {"-"}},
        {{"delete", "a b"}, {"a b"}},
    };
    for (const Case& c : cases) {
        const Parsed p = parse(c.args);
        ASSERT_TRUE(p.ok) << c.args[0] << ": " << p.error;
        EXPECT_EQ(p.inv.operands, c.operands) << c.args[0];
    }
}

TEST(CommandLine, SubcommandOptions) {
    Parsed p = parse({"register", "--once", "3"});
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.inv.options.once);
    p = parse({"listen", "--role", "3", "--count=2"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.inv.options.role, 3);
    EXPECT_EQ(p.inv.options.count, 2);
    p = parse({"put", "-q", "f"});
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.inv.options.quiet);
    p = parse({"get", "1", "--window", "8"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.inv.options.window, 8);
    p = parse({"send", "--reply", "300", "t"});
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.inv.options.reply);
}

TEST(CommandLine, HelpNeedsNoOperands) {
    for (const char* name : {"register", "send", "listen", "search", "get", "put", "delete"}) {
        const Parsed p = parse({name, "--help"});
        ASSERT_TRUE(p.ok) << name;
        EXPECT_TRUE(p.inv.options.help);
        const std::string text = zvc::usage_text(p.inv.command);
        EXPECT_NE(text.find(std::string("Usage: quorvel-client ") + name), std::string::npos);
        EXPECT_NE(text.find("--timeout"), std::string::npos) << name;
    }
    const Parsed p = parse({"-h"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.inv.command, Command::None);
    EXPECT_NE(zvc::usage_text(Command::None).find("put LOCAL"), std::string::npos);
}

TEST(CommandLine, UsageErrorsSayWhatIsWrong) {
    struct Case {
        std::vector<const char*> args;
        const char* message;
    };
    const Case cases[] = {
        {{}, "no subcommand"},
        {{"fetch"}, "unknown subcommand 'fetch'"},
        {{"get", "--bogus", "1"}, "unknown option '--bogus'"},
        {{"get"}, "expected REMOTE"},
        {{"get", "a", "b", "c"}, "expected REMOTE"},
        {{"get", "dir/"}, "give LOCAL"},
        {{"get", "a\"b"}, "without double quotes"},
        {{"get", "--once", "1"}, "--once does not apply to get"},
        {{"get", "1", "--port"}, "--port needs a value"},
        {{"get", "1", "--port", "0"}, "--port must be from 1 to 65535"},
        {{"get", "1", "--port", "65536"}, "--port must be"},
        {{"get", "1", "--timeout", "0"}, "--timeout must be"},
        {{"get", "1", "--timeout", "-1"}, "--timeout must be"},
        {{"get", "1", "--timeout", "1s"}, "--timeout must be"},
        {{"get", "1", "--timeout", "86401"}, "--timeout must be"},
        {{"get", "1", "--help=yes"}, "takes no value"},
        {{"get", "1", "--window", "0"}, "--window must be from 1 to 8"},
        {{"get", "1", "--window", "9"}, "--window must be from 1 to 8"},
        {{"put", "1", "--window", "2"}, "--window does not apply to put"},
        {{"register"}, "expected ROLE"},
        {{"register", "16"}, "ROLE must be"},
        {{"register", "x"}, "ROLE must be"},
        {{"register", "2", "02:00:00:12:34"}, "expected ROLE"},
        {{"register", "2", "02:00:00:12:34", "a"}, "HWADDR"},
        {{"register", "2", "02:00:00:12:34:567", "a"}, "HWADDR"},
        {{"register", "2", "02:00:00:12:34:5g", "a"}, "HWADDR"},
        {{"register", "2", "1:2:3:4:5:6", "0123456789012345678901234567890123456789"}, "ADDRTEXT"},
        {{"send", "300"}, "expected CODE TARGET"},
        {{"send", "65536", "t"}, "CODE must be"},
        {{"send", "25", "t"}, "answered by the gateway itself"},
        {{"send", "194", "t"}, "answered by the gateway itself"},
        {{"send", "300", "a b"}, "TARGET must be one word"},
        {{"listen", "x"}, "no operands"},
        {{"listen", "--role", "16"}, "--role must be"},
        {{"listen", "--count", "0"}, "--count must be"},
        {{"search", "10.1.2"}, "dotted IPv4"},
        {{"search", "10.1.2.256"}, "dotted IPv4"},
        {{"search", "host"}, "dotted IPv4"},
        {{"put"}, "expected LOCAL"},
        {{"put", "a", "b"}, "expected LOCAL"},
        {{"delete"}, "expected NAME"},
    };
    for (const Case& c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_FALSE(p.ok) << c.message;
        EXPECT_NE(p.error.find(c.message), std::string::npos)
            << "expected '" << c.message << "' in '" << p.error << "'";
    }
}

TEST(CommandLine, SendRefusesTextTheGatewayCannotReceive) {
    const std::string fits(2044 - 2, 'x');
    const std::string too_long(2044 - 1, 'x');
    EXPECT_TRUE(parse({"send", "300", "t", fits.c_str()}).ok);
    EXPECT_FALSE(parse({"send", "300", "t", too_long.c_str()}).ok);
}

TEST(OperandChecks, AddressForms) {
    for (const char* good : {"0.0.0.0", "10.1.2.9", "255.255.255.255"}) {
        EXPECT_TRUE(zvc::valid_ipv4(good)) << good;
    }
    for (const char* bad :
         {"", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.4.", "0256.1.1.1", " 1.2.3.4"}) {
        EXPECT_FALSE(zvc::valid_ipv4(bad)) << bad;
    }
    for (const char* good : {"02:00:00:12:34:56", "A:B:C:D:E:F", "0a:0b:0c:0d:0e:0f"}) {
        EXPECT_TRUE(zvc::valid_hardware_address(good)) << good;
    }
    for (const char* bad : {"", "02:00:00:12:34", "02:00:00:12:34:56:78", "02-00-00-12-34-56",
                            "02:00:00:12:34:", ":02:00:00:12:34"}) {
        EXPECT_FALSE(zvc::valid_hardware_address(bad)) << bad;
    }
}

}  // namespace
