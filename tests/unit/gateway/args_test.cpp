#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/args.h"

namespace {

using Words = std::vector<std::string>;

Words collect(char** args, int count) {
    Words out;
    for (int i = 0; i < count; ++i) out.emplace_back(args[i]);
    return out;
}

struct SplitArgsCase {
    const char* name;
    std::string text;
    int max;
    int result;
    Words args;
};

TEST(ArgsSplitArgs, Table) {
    const SplitArgsCase cases[] = {
        {"empty", "", 4, 0, {}},
        {"blank only", " \t \r\n ", 4, 0, {}},
        {"runs of blanks and tabs", "  one \t two\t\t three  ", 4, 3, {"one", "two", "three"}},
        {"stops at max", "a b c d", 2, 2, {"a", "b"}},
        {"max 0 takes nothing", "a b", 0, 0, {}},
        {"two quotes are an empty argument", "\"\" x", 4, 2, {"", "x"}},
        {"quoted argument keeps blanks", "\"a b\"  c", 4, 2, {"a b", "c"}},
        {"closing quote at the end", "x \"y z\"", 4, 2, {"x", "y z"}},
        {"char after closing quote is the separator", "\"ab\"cd", 4, 2, {"ab", "d"}},
        {"quote inside a word is plain", "a\"b c", 4, 2, {"a\"b", "c"}},
        {"unclosed quote", "x \"open", 4, -1, {}},
        {"unclosed quote beyond max is not seen", "x y \"open", 2, 2, {"x", "y"}},
        {"CR ends, LF is skipped", "a\r\nb\r\n", 4, 2, {"a", "b"}},
        {"vertical tab inside a word", "a\vb", 4, 1, {"a\vb"}},
        {"leading vertical tab and form feed skipped", "\v\fab", 4, 1, {"ab"}},
        {"form feed does not end a word", "a\fb c", 4, 2, {"a\fb", "c"}},
        {"byte 0xA0 is not white space", "\xA0x y", 4, 2, {"\xA0x", "y"}},
    };
    for (const SplitArgsCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        char* args[8] = {};
        int n = split_args(text.data(), args, c.max);
        ASSERT_EQ(n, c.result);
        if (n >= 0) {
            EXPECT_EQ(collect(args, n), c.args);
        }
    }
}

TEST(ArgsSplitArgs, LeavesTextAfterMaxUntouched) {
    std::string text = "one two three four";
    char* args[2] = {};
    ASSERT_EQ(split_args(text.data(), args, 2), 2);
    EXPECT_EQ(text, std::string("one\0two\0three four", 18));
    EXPECT_EQ(args[0], text.data());
    EXPECT_EQ(args[1], text.data() + 4);
}

TEST(ArgsSplitArgs, NullText) {
    char* args[1] = {};
    EXPECT_EQ(split_args(nullptr, args, 1), -1);
}

// rest is given as an offset into the text, or -1 for null.
struct SplitFieldsCase {
    const char* name;
    std::string text;
    int result;
    Words fields;
    long rest;
};

TEST(ArgsSplitFields, Table) {
    const SplitFieldsCase cases[] = {
        {"empty", "", 0, {}, 0},
        {"blank only", "   ", 0, {}, 3},
        {"double blank gives an empty field", "a  b", 3, {"a", "", "b"}, -1},
        {"every delimiter ends a field", "a\tb\rc\nd", 4, {"a", "b", "c", "d"}, -1},
        {"leading white space is skipped", " \v a b", 2, {"a", "b"}, -1},
        {"trailing separator leaves rest at NUL", "a b ", 2, {"a", "b"}, 4},
        {"nine fields ending the text",
         "a b c d e f g h i",
         9,
         {"a", "b", "c", "d", "e", "f", "g", "h", "i"},
         -1},
        {"nine fields and a blank",
         "a b c d e f g h i ",
         9,
         {"a", "b", "c", "d", "e", "f", "g", "h", "i"},
         18},
        {"raw data after nine fields keeps its blanks",
         "a b c d e f g h i   data",
         9,
         {"a", "b", "c", "d", "e", "f", "g", "h", "i"},
         18},
        {"quote in raw data is not examined",
         "a b c d e f g h i \"raw",
         9,
         {"a", "b", "c", "d", "e", "f", "g", "h", "i"},
         18},
        {"quoted field", "\"x y\" z", 2, {"x y", "z"}, -1},
        {"quoted field at the end", "\"x y\"", 1, {"x y"}, 5},
        {"char after closing quote is the separator", "\"q\"Xr", 2, {"q", "r"}, -1},
        {"separator after quote then delimiter is an empty field",
         "\"q\"  r",
         3,
         {"q", "", "r"},
         -1},
        {"vertical tab inside a field", "a\vb c", 2, {"a\vb", "c"}, -1},
    };
    for (const SplitFieldsCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        char* fields[kMaxFields] = {};
        char* rest = text.data() + 1000;  // sentinel: must be overwritten
        int n = split_fields(text.data(), fields, &rest);
        ASSERT_EQ(n, c.result);
        EXPECT_EQ(collect(fields, n), c.fields);
        if (c.rest < 0) {
            EXPECT_EQ(rest, nullptr);
        } else {
            EXPECT_EQ(rest, text.data() + c.rest);
        }
    }
}

TEST(ArgsSplitFields, UnclosedQuoteLeavesRestUnwritten) {
    char* fields[kMaxFields] = {};
    char marker = 0;
    char* rest = &marker;
    std::string text = "a \"open";
    EXPECT_EQ(split_fields(text.data(), fields, &rest), -1);
    EXPECT_EQ(rest, &marker);
    EXPECT_EQ(split_fields(nullptr, fields, &rest), -1);
    EXPECT_EQ(rest, &marker);
}

TEST(ArgsNextArg, WalksWordsAndSkipsWhiteSpace) {
    std::string text = "  t\tx y";
    char* cursor = text.data();
    EXPECT_STREQ(next_arg(&cursor), "t");
    EXPECT_EQ(cursor, text.data() + 4);  // at "x y"
    EXPECT_STREQ(next_arg(&cursor), "x");
    EXPECT_EQ(cursor, text.data() + 6);
    EXPECT_STREQ(next_arg(&cursor), "y");
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(next_arg(&cursor), nullptr);
    EXPECT_EQ(cursor, nullptr);
}

struct NextArgCase {
    const char* name;
    std::string text;
    const char* arg;  // null: none
    long cursor;      // offset after the call, -1 for null
};

TEST(ArgsNextArg, Table) {
    const NextArgCase cases[] = {
        {"empty text keeps the cursor", "", nullptr, 0},
        {"blank text keeps the cursor", " \t\r\n", nullptr, 0},
        {"quoted name with a blank", "\"a b\" z", "a b", 6},
        {"char after closing quote is not passed over", "\"ab\"cd", "ab", 4},
        {"word followed by blanks and LF only", "w  \n", "w", -1},
        {"word running to the end", "word", "word", -1},
        {"CR LF after the word", "w\r\n", "w", -1},
        {"unclosed quote takes the rest", "\"open text", "open text", -1},
        {"vertical tab does not end a word", "\va\vb c", "a\vb", 5},
        {"empty quotes", "\"\" z", "", 3},
    };
    for (const NextArgCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        char* cursor = text.data();
        char* arg = next_arg(&cursor);
        if (c.arg == nullptr) {
            EXPECT_EQ(arg, nullptr);
        } else {
            ASSERT_NE(arg, nullptr);
            EXPECT_STREQ(arg, c.arg);
        }
        if (c.cursor < 0) {
            EXPECT_EQ(cursor, nullptr);
        } else {
            EXPECT_EQ(cursor, text.data() + c.cursor);
        }
    }
}

TEST(ArgsNextArg, NullCursor) {
    char* cursor = nullptr;
    EXPECT_EQ(next_arg(&cursor), nullptr);
    EXPECT_EQ(next_arg(nullptr), nullptr);
}

}  // namespace
