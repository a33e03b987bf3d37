// Argument splitters: cut payload text into arguments in place, without copying.
// Delimiters end an unquoted argument (" \t\r\n"); white space (isspace in the C locale)
// is what gets skipped. An argument in double quotes runs to the next double quote.
#pragma once

inline constexpr int kMaxFields = 9;

// Up to max arguments; white space between them is skipped. -1 for null text or an
// unclosed quote.
int split_args(char* text, char** args, int max);
// Up to 9 fields separated by single delimiters (two in a row give an empty field);
// *rest receives where the text after the fields begins: the byte after the 9th field's
// separator, the terminating NUL, or null when the last field ran to the end. -1 for null
// text or an unclosed quote (*rest not written).
int split_fields(char* text, char** args, char** rest);
// One argument from *cursor; advances it (null once the text is used up).
char* next_arg(char** cursor);
