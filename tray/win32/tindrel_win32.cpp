// The Windows front of the tray supervisor: a hidden popup window whose procedure forwards
// creation, the watch timer, the tray callback and destruction to the portable supervisor,
// and the platform functions as the Win32 calls they stand for.
// windows.h first: the other two build on its types.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <cstddef>

#include "tray/supervisor.h"

namespace {

// The first and shortest NOTIFYICONDATAA layout (up to a 64-byte tip): 88 bytes in a 32-bit
// build, 104 in a 64-bit one, where the window and icon handles are 8 bytes wide.
constexpr DWORD kNotifyIconV1Size = offsetof(NOTIFYICONDATAA, szTip) + 64;
#if !defined(_WIN64)
static_assert(kNotifyIconV1Size == 88);
#endif

constexpr UINT kPopupFlags = TPM_RETURNCMD | TPM_BOTTOMALIGN | TPM_RIGHTALIGN | TPM_RIGHTBUTTON;
static_assert(kPopupFlags == 298);
static_assert(kStillActive == STILL_ACTIVE);
static_assert(static_cast<UINT>(TrayMouse::RightDown) == WM_RBUTTONDOWN);

struct Win32Front {
    HINSTANCE instance;
    HWND window;
    PROCESS_INFORMATION gateway;  // only hProcess is used; the handles are never closed
};

Win32Front g_front;
Tray g_tray;

LPCSTR resource_id(int id) {
    return reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(id)));
}

bool claim_single_copy(void*) {
    // Held until the process ends.
    CreateMutexA(nullptr, TRUE, kProductName);
    return GetLastError() != ERROR_ALREADY_EXISTS;
}

void message_box(void*, const char* text, const char* caption, TrayBoxIcon icon) {
    UINT type = icon == TrayBoxIcon::Information ? MB_ICONINFORMATION
                : icon == TrayBoxIcon::Error     ? MB_ICONERROR
                                                 : MB_OK;
    MessageBoxA(nullptr, text, caption, type);
}

std::size_t current_directory(void*, char* buffer, std::size_t limit) {
    return GetCurrentDirectoryA(static_cast<DWORD>(limit), buffer);
}

bool file_exists(void*, const char* path) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

int process_start(void*, const char* path) {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;  // 68 in a 32-bit build
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    ZeroMemory(&g_front.gateway, sizeof g_front.gateway);
    if (!CreateProcessA(path, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &g_front.gateway)) {
        return static_cast<int>(GetLastError());
    }
    return 0;
}

std::uint32_t process_exit_code(void*) {
    DWORD code = 0;
    GetExitCodeProcess(g_front.gateway.hProcess, &code);
    return code;
}

void process_terminate(void*, std::uint32_t exit_code) {
    TerminateProcess(g_front.gateway.hProcess, exit_code);
}

void icon_add(void*) {
    NOTIFYICONDATAA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = kNotifyIconV1Size;
    data.hWnd = g_front.window;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = LoadIconA(GetModuleHandleA(nullptr), resource_id(kTrayIconResource));
    lstrcpyA(data.szTip, kProductName);
    Shell_NotifyIconA(NIM_ADD, &data);
}

void icon_delete(void*) {
    NOTIFYICONDATAA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = kNotifyIconV1Size;
    data.hWnd = g_front.window;
    data.uID = kTrayIconId;
    Shell_NotifyIconA(NIM_DELETE, &data);
}

void timer_start(void*, std::uint32_t id, std::uint32_t period_ms) {
    SetTimer(g_front.window, id, period_ms, nullptr);
}

int popup_menu(void*) {
    SetForegroundWindow(g_front.window);
    HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), resource_id(kPopupMenuResource));
    HMENU popup = GetSubMenu(menu, 0);
    POINT cursor;
    GetCursorPos(&cursor);
    int command = static_cast<int>(
        TrackPopupMenu(popup, kPopupFlags, cursor.x, cursor.y, 0, g_front.window, nullptr));
    DestroyMenu(menu);
    return command;
}

void close_window(void*) {
    DestroyWindow(g_front.window);
}

void quit(void*, int exit_code) {
    PostQuitMessage(exit_code);
}

const TrayPlatform kWin32Platform = {
    nullptr,
    "Quorvel.exe",
    '\\',
    MAX_PATH,
    claim_single_copy,
    message_box,
    current_directory,
    file_exists,
    process_start,
    process_exit_code,
    process_terminate,
    icon_add,
    icon_delete,
    timer_start,
    popup_menu,
    close_window,
    quit,
};

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            g_front.window = window;
            if (tray_on_create(&g_tray)) return 0;
            break;
        case WM_TIMER:
            tray_on_timer(&g_tray, static_cast<std::uint32_t>(wparam));
            break;
        case kTrayCallbackMessage:
            tray_on_icon(&g_tray, static_cast<TrayMouse>(static_cast<std::uint32_t>(lparam)));
            break;
        case WM_ACTIVATE:
            if (wparam == WA_INACTIVE) ShowWindow(window, SW_HIDE);
            break;
        case WM_DESTROY:
            tray_on_destroy(&g_tray);
            break;
        default:
            break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    InitCommonControls();
    g_front.instance = instance;
    tray_init(&g_tray, &kWin32Platform);

    int early = tray_begin(&g_tray);
    if (early != kTrayContinue) return early;

    WNDCLASSA window_class;
    ZeroMemory(&window_class, sizeof window_class);
    window_class.style = CS_DBLCLKS;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(nullptr, resource_id(32512));      // IDI_APPLICATION
    window_class.hCursor = LoadCursorA(nullptr, resource_id(32512));  // IDC_ARROW
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    window_class.lpszClassName = kProductName;
    if (RegisterClassA(&window_class) == 0) return tray_init_failed(&g_tray);

    // WS_POPUP without WS_VISIBLE: the window exists only to own the icon, timer and menu.
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_DLGMODALFRAME,
                                  kProductName, nullptr, WS_POPUP, kWindowX, kWindowY, kWindowWidth,
                                  kWindowHeight, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return tray_init_failed(&g_tray);
    SetWindowTextA(window, kProductName);

    MSG message = {};
    // GetMessageA answers -1 on failure; that ends the loop too, rather than spinning on it.
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
