// Shared between the two files of the Linux front: the status icon lives in its own file
// because GtkStatusIcon is deprecated and only that file is built with the warning off.
#pragma once

#include <gtk/gtk.h>

#include <cstddef>

#include "tray/supervisor.h"

// The icon's picture: the 48 px PNG of the icon group, embedded at build time.
extern const unsigned char kTrayIconPng[];
extern const std::size_t kTrayIconPngSize;

// Shows the icon (title and tip "Zelvanor"); its mouse events go to tray_on_icon through
// on_event, with the raw GDK event kept in *last_press while a press is handled, so the menu
// can be tied to it.
GtkStatusIcon* status_icon_add(Tray* tray, GdkEvent** last_press);
void status_icon_delete(GtkStatusIcon* icon);
