#include "tray/supervisor.h"

#include <cstdio>
#include <cstring>

namespace {

// The user reads these; they stay exactly as they have always been worded.
constexpr char kTextExisted[] = "The application is existed!";
constexpr char kTextInitFailed[] = "Application initialization failed.";
constexpr char kFormatNotFound[] = "Can not find %s\nPlease reinstall!";
constexpr char kFormatCannotCreate[] = "Can not create Quorvel process (%d)";
constexpr char kFormatTerminated[] = "%s is terminated!\n";
constexpr char kFormatVersion[] = "%s Version %s Build %s";
constexpr char kCaptionError[] = "Error";
constexpr char kCaptionVersion[] = ZV_TEXT_VERSION_INFO;

constexpr std::size_t kMessageBufferSize = 512;
constexpr std::size_t kVersionBufferSize = 500;

// Builds "<current directory><separator><gateway name>" into tray->path. False when the
// directory cannot be named within the platform's limit: the gateway then counts as missing,
// since no path to it can be formed.
bool build_gateway_path(Tray* tray) {
    const TrayPlatform* p = tray->platform;
    std::size_t limit = p->directory_limit;
    std::size_t name_length = std::strlen(p->gateway_name);
    if (limit + 1 + name_length + 1 > sizeof tray->path) {
        limit = sizeof tray->path - 1 - name_length - 1;
    }
    std::size_t length = p->current_directory(p->context, tray->path, limit);
    if (length == 0 || length >= limit) {
        tray->path[0] = '\0';
        return false;
    }
    tray->path[length] = p->path_separator;
    std::memcpy(tray->path + length + 1, p->gateway_name, name_length + 1);
    return true;
}

void show_error(Tray* tray, const char* format, const char* argument) {
    char text[kMessageBufferSize];
    std::snprintf(text, sizeof text, format, argument);
    tray->platform->message_box(tray->platform->context, text, kCaptionError, TrayBoxIcon::Error);
}

void show_version(Tray* tray) {
    char text[kVersionBufferSize] = {};
    std::snprintf(text, sizeof text, kFormatVersion, kProductName, kProductVersion, kProductBuild);
    tray->platform->message_box(tray->platform->context, text, kCaptionVersion, TrayBoxIcon::None);
}

void remove_icon(Tray* tray) {
    if (!tray->icon_shown) return;
    tray->icon_shown = false;
    tray->platform->icon_delete(tray->platform->context);
}

}  // namespace

void tray_init(Tray* tray, const TrayPlatform* platform) {
    std::memset(tray, 0, sizeof *tray);
    tray->platform = platform;
    tray->phase = TrayPhase::Starting;
}

int tray_begin(Tray* tray) {
    const TrayPlatform* p = tray->platform;
    if (!p->claim_single_copy(p->context)) {
        p->message_box(p->context, kTextExisted, kProductName, TrayBoxIcon::Information);
        return 0;
    }
    return kTrayContinue;
}

int tray_init_failed(Tray* tray) {
    const TrayPlatform* p = tray->platform;
    p->message_box(p->context, kTextInitFailed, kProductName, TrayBoxIcon::Error);
    return kTrayInitFailedCode;
}

bool tray_on_create(Tray* tray) {
    const TrayPlatform* p = tray->platform;
    if (tray->phase != TrayPhase::Starting) return false;

    if (!build_gateway_path(tray) || !p->file_exists(p->context, tray->path)) {
        tray->phase = TrayPhase::Ending;
        show_error(tray, kFormatNotFound, p->gateway_name);
        p->quit(p->context, 0);
        return false;
    }

    int error = p->process_start(p->context, tray->path);
    if (error != 0) {
        tray->phase = TrayPhase::Ending;
        char text[kMessageBufferSize];
        std::snprintf(text, sizeof text, kFormatCannotCreate, error);
        p->message_box(p->context, text, kCaptionError, TrayBoxIcon::Error);
        p->quit(p->context, 0);
        return false;
    }
    tray->gateway_running = true;

    p->icon_add(p->context);
    tray->icon_shown = true;
    p->timer_start(p->context, kWatchTimerId, kWatchPeriodMs);
    tray->phase = TrayPhase::Watching;
    return true;
}

void tray_on_timer(Tray* tray, std::uint32_t timer_id) {
    const TrayPlatform* p = tray->platform;
    // The timer keeps running while the box below is up (boxes run their own event loop),
    // so the phase, not the timer, makes sure the message comes once.
    if (timer_id != kWatchTimerId || tray->phase != TrayPhase::Watching) return;
    if (p->process_exit_code(p->context) == kStillActive) return;

    tray->phase = TrayPhase::Ending;
    tray->gateway_running = false;
    show_error(tray, kFormatTerminated, p->gateway_name);
    // Left as it is, a dead icon would stay in the tray until the pointer passes over it.
    remove_icon(tray);
    p->quit(p->context, 0);
}

void tray_on_icon(Tray* tray, TrayMouse event) {
    const TrayPlatform* p = tray->platform;
    if (event != TrayMouse::RightDown) return;
    // The menu and the version box run their own event loops; a press arriving inside them
    // must not stack a second menu or box on top.
    if (tray->phase != TrayPhase::Watching || tray->menu_open) return;

    tray->menu_open = true;
    int command = p->popup_menu(p->context);
    if (command == kCmdVersionInfo) {
        show_version(tray);
    } else if (command == kCmdExit) {
        p->close(p->context);
    }
    tray->menu_open = false;
}

void tray_on_destroy(Tray* tray) {
    const TrayPlatform* p = tray->platform;
    tray->phase = TrayPhase::Ending;
    if (tray->gateway_running) {
        tray->gateway_running = false;
        p->process_terminate(p->context, kGatewayTerminateCode);
    }
    remove_icon(tray);
    p->quit(p->context, 0);
}
