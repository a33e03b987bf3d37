#include "gateway/args.h"

#include <cstring>

namespace {

// Characters that end an unquoted argument.
constexpr const char* kDelimiters = " \t\r\n";

// The C locale's white space, spelled out so that no locale can make a byte above 0x7F
// count as white space. Vertical tab and form feed are skipped but do not end an argument.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char* skip_space(char* p) {
    while (is_space(*p)) ++p;
    return p;
}

}  // namespace

int split_args(char* text, char** args, int max) {
    if (text == nullptr) return -1;
    char* p = skip_space(text);
    int count = 0;
    while (*p != '\0' && count < max) {
        if (*p == '"') {
            args[count++] = p + 1;
            char* close = std::strchr(p + 1, '"');
            if (close == nullptr) return -1;
            *close = '\0';
            p = close + 1;
            if (*p == '\0') return count;
            // Whatever follows the closing quote is taken as the separator, even a letter.
            p = skip_space(p + 1);
        } else {
            args[count++] = p;
            char* end = std::strpbrk(p, kDelimiters);
            if (end == nullptr) return count;
            *end = '\0';
            p = skip_space(end + 1);
        }
    }
    return count;
}

int split_fields(char* text, char** args, char** rest) {
    if (text == nullptr) return -1;
    char* p = skip_space(text);
    int count = 0;
    for (;;) {
        // Past the 9th field nothing is examined: raw data may follow, leading blanks and
        // quotes included.
        if (*p == '\0' || count >= kMaxFields) {
            *rest = p;
            return count;
        }
        if (*p == '"') {
            args[count++] = p + 1;
            char* close = std::strchr(p + 1, '"');
            if (close == nullptr) return -1;
            *close = '\0';
            p = close + 1;
            if (*p == '\0') {
                *rest = p;
                return count;
            }
            ++p;
        } else {
            args[count++] = p;
            char* end = std::strpbrk(p, kDelimiters);
            if (end == nullptr) {
                *rest = nullptr;
                return count;
            }
            *end = '\0';
            // No white space is skipped: a second delimiter starts an empty field.
            p = end + 1;
        }
    }
}

char* next_arg(char** cursor) {
    if (cursor == nullptr || *cursor == nullptr) return nullptr;
    char* p = skip_space(*cursor);
    if (*p == '\0') return nullptr;

    char* arg = p;
    char* end = nullptr;
    if (*p == '"') {
        arg = p + 1;
        end = std::strchr(arg, '"');
    } else {
        end = std::strpbrk(p, kDelimiters);
    }
    if (end == nullptr) {
        // Unterminated: the argument (for an open quote, everything after it) runs to the
        // end of the text.
        *cursor = nullptr;
        return arg;
    }
    *end = '\0';
    char* next = skip_space(end + 1);
    *cursor = *next == '\0' ? nullptr : next;
    return arg;
}
