// The tray supervisor's behaviour, written once for every platform. A front (Win32 or GTK)
// owns the event loop and forwards its events to the tray_on_* functions; everything the
// supervisor does to the system goes through the TrayPlatform function pointers, so the
// whole behaviour can be exercised with a fake platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tray/resource.h"

inline constexpr char kProductName[] = ZV_TEXT_PRODUCT;  // mutex, class, title, tip, caption
inline constexpr char kProductVersion[] = "1.0";
inline constexpr char kProductBuild[] = "11010610";

inline constexpr std::uint32_t kTrayCallbackMessage = 1337;
inline constexpr std::uint32_t kTrayIconId = 0;
inline constexpr int kTrayIconResource = ZV_IDI_TRAY;
inline constexpr int kPopupMenuResource = ZV_IDM_POPUP;
inline constexpr int kCmdVersionInfo = ZV_CMD_VERSION_INFO;
inline constexpr int kCmdExit = ZV_CMD_EXIT;
inline constexpr std::uint32_t kWatchTimerId = 0;
inline constexpr std::uint32_t kWatchPeriodMs = 10000;
inline constexpr std::uint32_t kGatewayTerminateCode = 2;
inline constexpr std::uint32_t kStillActive = 259;  // exit code of a process that still runs
inline constexpr int kWindowX = 0;
inline constexpr int kWindowY = 0;
inline constexpr int kWindowWidth = 80;
inline constexpr int kWindowHeight = 135;

// Room for the current directory, a separator and the gateway's file name. A platform's
// directory_limit must leave space for the other two.
inline constexpr std::size_t kTrayPathCapacity = 4096 + 64;

// Exit code of a failed start (class or window could not be made).
inline constexpr int kTrayInitFailedCode = 1;
// tray_begin's "go on" answer; every other value is the program's exit code.
inline constexpr int kTrayContinue = -1;

enum class TrayBoxIcon { None, Information, Error };

// Mouse events on the tray icon, numbered like the Win32 mouse messages that arrive in the
// callback's lParam, so the Win32 front passes them through unchanged.
enum class TrayMouse : std::uint32_t {
    Move = 0x0200,
    LeftDown = 0x0201,
    LeftUp = 0x0202,
    LeftDouble = 0x0203,
    RightDown = 0x0204,  // 516: the only event that opens the menu
    RightUp = 0x0205,
    RightDouble = 0x0206,
    MiddleDown = 0x0207,
    MiddleUp = 0x0208,
    MiddleDouble = 0x0209,
};

struct TrayPlatform {
    void* context;  // handed back to every function below

    const char* gateway_name;     // file name of the gateway beside the current directory
    char path_separator;          // between the directory and gateway_name
    std::size_t directory_limit;  // longest current directory the platform can name

    // Takes the single-copy lock (held until the process ends). False only when another
    // copy holds it; a lock that cannot be made at all lets this copy run.
    bool (*claim_single_copy)(void* context);
    // Shows a modal box without an owner and returns when it is dismissed.
    void (*message_box)(void* context, const char* text, const char* caption, TrayBoxIcon icon);
    // Writes the current directory into buffer (limit bytes) and returns its length; 0 on
    // failure, or a value >= limit when it does not fit.
    std::size_t (*current_directory)(void* context, char* buffer, std::size_t limit);
    bool (*file_exists)(void* context, const char* path);
    // Starts the gateway hidden, without arguments, in the current directory. Returns 0, or
    // the system's error number on failure.
    int (*process_start)(void* context, const char* path);
    // The gateway's exit code, kStillActive while it runs.
    std::uint32_t (*process_exit_code)(void* context);
    void (*process_terminate)(void* context, std::uint32_t exit_code);
    void (*icon_add)(void* context);
    void (*icon_delete)(void* context);
    void (*timer_start)(void* context, std::uint32_t id, std::uint32_t period_ms);
    // Shows the popup menu at the pointer and returns the chosen command, or 0.
    int (*popup_menu)(void* context);
    // Ends the supervisor's window; the front answers with tray_on_destroy.
    void (*close)(void* context);
    // Ends the event loop with this exit code once the current event is handled.
    void (*quit)(void* context, int exit_code);
};

enum class TrayPhase { Starting, Watching, Ending };

struct Tray {
    const TrayPlatform* platform;
    TrayPhase phase;
    bool gateway_running;  // started and not yet seen ended or terminated
    bool icon_shown;
    bool menu_open;  // the popup or a box it led to is up: further presses are ignored
    char path[kTrayPathCapacity];
};

void tray_init(Tray* tray, const TrayPlatform* platform);

// Program start, before any window: the single-copy check. Returns kTrayContinue, or the
// exit code when this copy must end (another copy runs).
int tray_begin(Tray* tray);
// The window class or window could not be made: tells the user and returns the exit code.
int tray_init_failed(Tray* tray);

// Window creation: finds and starts the gateway, adds the icon and starts the watch. True
// when all of that happened; false when a message was shown and the loop was told to quit.
bool tray_on_create(Tray* tray);
void tray_on_timer(Tray* tray, std::uint32_t timer_id);
void tray_on_icon(Tray* tray, TrayMouse event);
// Window destruction ("Exit"): ends the gateway, removes the icon, quits with 0.
void tray_on_destroy(Tray* tray);
