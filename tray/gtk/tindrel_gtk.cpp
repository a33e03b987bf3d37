// The Linux front of the tray supervisor: GTK 3 main loop, dialogs and popup menu, a flock
// in place of the named mutex, and a spawned child in place of the hidden console process.
#include <fcntl.h>
#include <glib-unix.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tray/gtk/front.h"
#include "tray/posix/gateway_process.h"
#include "tray/supervisor.h"

namespace {

struct GtkFront {
    bool display;  // gtk_init_check succeeded
    GtkStatusIcon* icon;
    GdkEvent* last_press;  // the press being handled, for the menu's grab
    GMainLoop* loop;
    bool quit_requested;
    int exit_code;
    int lock_fd;
    GatewayProcess gateway;
};

GtkFront g_front;
Tray g_tray;

bool claim_single_copy(void*) {
    char path[PATH_MAX];
    if (!single_copy_lock_path(path, sizeof path)) return true;
    return single_copy_claim(path, &g_front.lock_fd) != LockResult::Taken;
}

// Every box is also written to standard error, one line each, with line breaks shown as \n:
// the supervisor is often started from a terminal or a session log, and without a display
// this is the only way the message gets out.
void log_box(const char* text, const char* caption) {
    std::fprintf(stderr, "Tindrel: [%s] ", caption);
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\n') {
            std::fputs("\\n", stderr);
        } else {
            std::fputc(*c, stderr);
        }
    }
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void message_box(void*, const char* text, const char* caption, TrayBoxIcon icon) {
    log_box(text, caption);
    if (!g_front.display) return;
    GtkMessageType type = icon == TrayBoxIcon::Information ? GTK_MESSAGE_INFO
                          : icon == TrayBoxIcon::Error     ? GTK_MESSAGE_ERROR
                                                           : GTK_MESSAGE_OTHER;
    GtkWidget* box =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type, GTK_BUTTONS_OK, "%s", text);
    gtk_window_set_title(GTK_WINDOW(box), caption);
    gtk_window_set_keep_above(GTK_WINDOW(box), TRUE);
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

std::size_t current_directory(void*, char* buffer, std::size_t limit) {
    if (getcwd(buffer, limit) != nullptr) return std::strlen(buffer);
    return errno == ERANGE ? limit : 0;
}

bool file_exists(void*, const char* path) {
    // Readable, as the Windows front checks by opening the file for reading.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

int process_start(void*, const char* path) {
    return gateway_start(&g_front.gateway, path);
}

std::uint32_t process_exit_code(void*) {
    return gateway_exit_code(&g_front.gateway, kStillActive);
}

// A forced end, as on Windows: SIGKILL cannot be caught, so the gateway stops at once. The
// Windows exit code 2 has no equivalent; the gateway keeps no state that a gentler end could
// save.
void process_terminate(void*, std::uint32_t) {
    gateway_terminate(&g_front.gateway);
}

void icon_add(void*) {
    g_front.icon = status_icon_add(&g_tray, &g_front.last_press);
}

void icon_delete(void*) {
    if (g_front.icon == nullptr) return;
    status_icon_delete(g_front.icon);
    g_front.icon = nullptr;
}

gboolean on_timer(gpointer id) {
    tray_on_timer(&g_tray, GPOINTER_TO_UINT(id));
    return G_SOURCE_CONTINUE;
}

void timer_start(void*, std::uint32_t id, std::uint32_t period_ms) {
    g_timeout_add(period_ms, on_timer, GUINT_TO_POINTER(id));
}

struct MenuRun {
    GMainLoop* loop;
    int choice;
    guint idle;  // the pending end_menu_loop, if any
};

void on_item(GtkMenuItem* item, gpointer run) {
    static_cast<MenuRun*>(run)->choice =
        GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), "zv-command"));
}

gboolean end_menu_loop(gpointer data) {
    MenuRun* run = static_cast<MenuRun*>(data);
    run->idle = 0;
    g_main_loop_quit(run->loop);
    return G_SOURCE_REMOVE;
}

// The menu shell deactivates before the chosen item's "activate" runs; leaving the nested
// loop from an idle callback lets that activation land first.
void on_deactivate(GtkMenuShell*, gpointer data) {
    MenuRun* run = static_cast<MenuRun*>(data);
    if (run->idle == 0) run->idle = g_idle_add(end_menu_loop, run);
}

void add_item(GtkWidget* menu, const char* label, int command, MenuRun* run) {
    GtkWidget* item = gtk_menu_item_new_with_label(label);
    g_object_set_data(G_OBJECT(item), "zv-command", GINT_TO_POINTER(command));
    g_signal_connect(item, "activate", G_CALLBACK(on_item), run);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
}

// Like a popup menu that returns its command: shows the menu at the pointer, waits in a
// nested loop until it closes, and returns the chosen command or 0.
int popup_menu(void*) {
    MenuRun run{g_main_loop_new(nullptr, FALSE), 0, 0};
    GtkWidget* menu = gtk_menu_new();
    add_item(menu, ZV_TEXT_VERSION_INFO, kCmdVersionInfo, &run);
    add_item(menu, ZV_TEXT_EXIT, kCmdExit, &run);
    g_signal_connect(menu, "deactivate", G_CALLBACK(on_deactivate), &run);
    gtk_widget_show_all(menu);
    gtk_menu_popup_at_pointer(GTK_MENU(menu), g_front.last_press);
    // Without a pointer grab the menu is not shown and no deactivation will come.
    if (gtk_widget_get_visible(menu)) g_main_loop_run(run.loop);
    // run lives on this stack frame: nothing may reach it once the function returns.
    g_signal_handlers_disconnect_by_data(menu, &run);
    gtk_widget_destroy(menu);
    if (run.idle != 0) g_source_remove(run.idle);
    g_main_loop_unref(run.loop);
    return run.choice;
}

void close_front(void*) {
    tray_on_destroy(&g_tray);
}

void quit(void*, int exit_code) {
    g_front.quit_requested = true;
    g_front.exit_code = exit_code;
    if (g_front.loop != nullptr) g_main_loop_quit(g_front.loop);
}

// A terminal's Ctrl-C or a session's SIGTERM ends the supervisor the way "Exit" does, so the
// gateway does not outlive it.
gboolean on_signal(gpointer) {
    if (g_tray.phase == TrayPhase::Watching) {
        tray_on_destroy(&g_tray);
    } else {
        quit(nullptr, 0);
    }
    return G_SOURCE_CONTINUE;
}

const TrayPlatform kGtkPlatform = {
    nullptr,
    "Quorvel",
    '/',
    PATH_MAX - 1,
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
    close_front,
    quit,
};

}  // namespace

int main(int argc, char** argv) {
    g_front.lock_fd = -1;
    // Tray icons of this kind exist only on X11 (XEmbed); under Wayland that means XWayland.
    gdk_set_allowed_backends("x11");
    g_front.display = gtk_init_check(&argc, &argv);
    tray_init(&g_tray, &kGtkPlatform);

    int early = tray_begin(&g_tray);
    if (early != kTrayContinue) return early;
    if (!g_front.display) return tray_init_failed(&g_tray);

    g_unix_signal_add(SIGINT, on_signal, nullptr);
    g_unix_signal_add(SIGTERM, on_signal, nullptr);
    g_unix_signal_add(SIGHUP, on_signal, nullptr);

    tray_on_create(&g_tray);
    if (!g_front.quit_requested) {
        g_front.loop = g_main_loop_new(nullptr, FALSE);
        g_main_loop_run(g_front.loop);
        g_main_loop_unref(g_front.loop);
        g_front.loop = nullptr;
    }
    return g_front.exit_code;
}
