/* Test helper, run under Wine next to Tindrel.exe: prints the text of every static control
   in the visible top-level windows whose caption is argv[1] (a message box's text), one per
   line, with line breaks written as \n. Exit status 1 when no such window has any text. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static const char *caption;
static int found;

static BOOL CALLBACK child(HWND window, LPARAM unused) {
    char name[64];
    char text[2048];
    (void)unused;
    GetClassNameA(window, name, sizeof name);
    if (lstrcmpiA(name, "Static") != 0 || GetWindowTextA(window, text, sizeof text) <= 0)
        return TRUE;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '\n') fputs("\\n", stdout);
        else if (*c == '\r') fputs("\\r", stdout);
        else putchar(*c);
    }
    putchar('\n');
    found = 1;
    return TRUE;
}

static BOOL CALLBACK top(HWND window, LPARAM unused) {
    char title[256];
    (void)unused;
    if (IsWindowVisible(window) && GetWindowTextA(window, title, sizeof title) >= 0 &&
        strcmp(title, caption) == 0) {
        EnumChildWindows(window, child, 0);
    }
    return TRUE;
}

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    caption = argv[1];
    EnumWindows(top, 0);
    fflush(stdout);
    return found ? 0 : 1;
}
