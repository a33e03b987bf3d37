// GtkStatusIcon is deprecated, but it is the GTK 3 tray icon that reports raw button presses;
// indicator-style icons only offer a menu and cannot tell a right press from anything else.
#include "tray/gtk/front.h"

namespace {

struct IconBinding {
    Tray* tray;
    GdkEvent** last_press;
};
IconBinding g_binding;

bool translate(const GdkEventButton* event, TrayMouse* out) {
    struct Row {
        GdkEventType type;
        guint button;
        TrayMouse mouse;
    };
    static const Row kRows[] = {
        {GDK_BUTTON_PRESS, 1, TrayMouse::LeftDown},
        {GDK_BUTTON_RELEASE, 1, TrayMouse::LeftUp},
        {GDK_2BUTTON_PRESS, 1, TrayMouse::LeftDouble},
        {GDK_BUTTON_PRESS, 2, TrayMouse::MiddleDown},
        {GDK_BUTTON_RELEASE, 2, TrayMouse::MiddleUp},
        {GDK_2BUTTON_PRESS, 2, TrayMouse::MiddleDouble},
        {GDK_BUTTON_PRESS, 3, TrayMouse::RightDown},
        {GDK_BUTTON_RELEASE, 3, TrayMouse::RightUp},
        {GDK_2BUTTON_PRESS, 3, TrayMouse::RightDouble},
    };
    for (const Row& row : kRows) {
        if (row.type == event->type && row.button == event->button) {
            *out = row.mouse;
            return true;
        }
    }
    return false;
}

gboolean on_button(GtkStatusIcon*, GdkEventButton* event, gpointer) {
    TrayMouse mouse;
    if (!translate(event, &mouse)) return TRUE;
    *g_binding.last_press = reinterpret_cast<GdkEvent*>(event);
    tray_on_icon(g_binding.tray, mouse);
    *g_binding.last_press = nullptr;
    // Handled here: GtkStatusIcon's own "activate"/"popup-menu" must not run as well.
    return TRUE;
}

}  // namespace

GtkStatusIcon* status_icon_add(Tray* tray, GdkEvent** last_press) {
    g_binding = {tray, last_press};

    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    GdkPixbuf* picture = nullptr;
    if (loader != nullptr) {
        if (gdk_pixbuf_loader_write(loader, kTrayIconPng, kTrayIconPngSize, nullptr) &&
            gdk_pixbuf_loader_close(loader, nullptr)) {
            picture = gdk_pixbuf_loader_get_pixbuf(loader);
        }
    }
    GtkStatusIcon* icon = picture != nullptr ? gtk_status_icon_new_from_pixbuf(picture)
                                             : gtk_status_icon_new_from_icon_name("network-server");
    if (loader != nullptr) g_object_unref(loader);

    // The title names the icon's X window: that is how the tray and test tools find it.
    gtk_status_icon_set_title(icon, kProductName);
    gtk_status_icon_set_tooltip_text(icon, kProductName);
    g_signal_connect(icon, "button-press-event", G_CALLBACK(on_button), nullptr);
    g_signal_connect(icon, "button-release-event", G_CALLBACK(on_button), nullptr);
    gtk_status_icon_set_visible(icon, TRUE);
    return icon;
}

void status_icon_delete(GtkStatusIcon* icon) {
    gtk_status_icon_set_visible(icon, FALSE);
    g_object_unref(icon);
}
