// Fuzz target: the three argument splitters (split_args, split_fields, next_arg).
//
// Input: the first byte chooses split_args' max (low 4 bits, 0 to 15); the rest is the
// text, handed over in a buffer of exactly its size plus the terminating NUL, so that any
// read or write beyond it trips the sanitizer. Each splitter is compared with a plain model
// of its documented steps, written here independently: the result, every argument's place,
// the rest or cursor, and the text as it stands afterwards (the NULs written in place).
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "gateway/args.h"

namespace {

constexpr int kMaxArgs = 16;

bool white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool delimiter(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::size_t skip_white(const std::vector<char>& t, std::size_t p) {
    while (white(t[p])) ++p;
    return p;
}
// Index of the first c at or after p before the NUL, or npos.
constexpr std::size_t kNone = static_cast<std::size_t>(-1);
std::size_t find_quote(const std::vector<char>& t, std::size_t p) {
    for (; t[p] != '\0'; ++p) {
        if (t[p] == '"') return p;
    }
    return kNone;
}
std::size_t find_delimiter(const std::vector<char>& t, std::size_t p) {
    for (; t[p] != '\0'; ++p) {
        if (delimiter(t[p])) return p;
    }
    return kNone;
}

int model_split_args(std::vector<char>& t, std::size_t* args, int max) {
    std::size_t p = skip_white(t, 0);
    int i = 0;
    for (;;) {
        if (t[p] == '\0' || i >= max) return i;
        if (t[p] == '"') {
            args[i++] = p + 1;
            std::size_t q = find_quote(t, p + 1);
            if (q == kNone) return -1;
            t[q] = '\0';
            p = q + 1;
            if (t[p] == '\0') return i;
            p = skip_white(t, p + 1);
        } else {
            args[i++] = p;
            std::size_t q = find_delimiter(t, p);
            if (q == kNone) return i;
            t[q] = '\0';
            p = skip_white(t, q + 1);
        }
    }
}

// rest: kNone stands for null.
int model_split_fields(std::vector<char>& t, std::size_t* args, std::size_t* rest) {
    std::size_t p = skip_white(t, 0);
    int i = 0;
    for (;;) {
        if (t[p] == '\0' || i >= 9) {
            *rest = p;
            return i;
        }
        if (t[p] == '"') {
            args[i++] = p + 1;
            std::size_t q = find_quote(t, p + 1);
            if (q == kNone) return -1;
            t[q] = '\0';
            p = q + 1;
            if (t[p] == '\0') {
                *rest = p;
                return i;
            }
            ++p;
        } else {
            args[i++] = p;
            std::size_t q = find_delimiter(t, p);
            if (q == kNone) {
                *rest = kNone;
                return i;
            }
            t[q] = '\0';
            p = q + 1;
        }
    }
}

// cursor: kNone stands for null. Returns the argument's index, or kNone.
std::size_t model_next_arg(std::vector<char>& t, std::size_t* cursor) {
    if (*cursor == kNone) return kNone;
    std::size_t p = skip_white(t, *cursor);
    if (t[p] == '\0') return kNone;
    std::size_t arg = p;
    std::size_t end = kNone;
    if (t[p] == '"') {
        arg = p + 1;
        end = find_quote(t, arg);
    } else {
        end = find_delimiter(t, p);
    }
    if (end == kNone) {
        *cursor = kNone;
        return arg;
    }
    t[end] = '\0';
    std::size_t next = skip_white(t, end + 1);
    *cursor = t[next] == '\0' ? kNone : next;
    return arg;
}

std::size_t offset(const std::vector<char>& t, const char* p) {
    if (p == nullptr) return kNone;
    if (p < t.data() || p > t.data() + t.size() - 1) fuzz_fail("a pointer outside the text");
    return static_cast<std::size_t>(p - t.data());
}

void check_split_args(const std::vector<char>& text, int max) {
    std::vector<char> real = text;
    std::vector<char> model = text;
    char* args[kMaxArgs] = {};
    std::size_t model_args[kMaxArgs] = {};
    int got = split_args(real.data(), args, max);
    int want = model_split_args(model, model_args, max);
    if (got != want) fuzz_fail("split_args: count");
    for (int i = 0; i < got; ++i) {
        if (offset(real, args[i]) != model_args[i]) fuzz_fail("split_args: argument place");
    }
    if (real != model) fuzz_fail("split_args: text afterwards");
}

void check_split_fields(const std::vector<char>& text) {
    std::vector<char> real = text;
    std::vector<char> model = text;
    char* args[9] = {};
    char sentinel = 0;
    char* rest = &sentinel;
    std::size_t model_args[9] = {};
    std::size_t model_rest = kNone;
    int got = split_fields(real.data(), args, &rest);
    int want = model_split_fields(model, model_args, &model_rest);
    if (got != want) fuzz_fail("split_fields: count");
    if (got < 0) {
        if (rest != &sentinel) fuzz_fail("split_fields: rest written on failure");
    } else {
        for (int i = 0; i < got; ++i) {
            if (offset(real, args[i]) != model_args[i]) fuzz_fail("split_fields: field place");
        }
        if (offset(real, rest) != model_rest) fuzz_fail("split_fields: rest");
    }
    if (real != model) fuzz_fail("split_fields: text afterwards");
}

void check_next_arg(const std::vector<char>& text) {
    std::vector<char> real = text;
    std::vector<char> model = text;
    char* cursor = real.data();
    std::size_t model_cursor = 0;
    // Every call that returns an argument moves past at least one byte.
    for (std::size_t calls = 0; calls <= text.size() + 1; ++calls) {
        char* arg = next_arg(&cursor);
        std::size_t want = model_next_arg(model, &model_cursor);
        if (offset(real, arg) != want) fuzz_fail("next_arg: argument");
        if (offset(real, cursor) != model_cursor) fuzz_fail("next_arg: cursor");
        if (arg == nullptr) {
            if (real != model) fuzz_fail("next_arg: text afterwards");
            return;
        }
    }
    fuzz_fail("next_arg: no end to the arguments");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    int max = data[0] & 0x0F;
    std::vector<char> text(reinterpret_cast<const char*>(data) + 1,
                           reinterpret_cast<const char*>(data) + size);
    text.push_back('\0');
    text.shrink_to_fit();
    check_split_args(text, max);
    check_split_fields(text);
    check_next_arg(text);
    if (split_args(nullptr, nullptr, max) != -1) fuzz_fail("split_args: null text");
    return 0;
}
