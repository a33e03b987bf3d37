/* Resource ids and menu texts shared by the resource script and the code; plain macros so
   that the resource compiler can read this file too. */
#ifndef ZV_TRAY_RESOURCE_H
#define ZV_TRAY_RESOURCE_H

#define ZV_IDI_TRAY 101
#define ZV_IDM_POPUP 102
#define ZV_CMD_VERSION_INFO 40005
#define ZV_CMD_EXIT 57665

#define ZV_TEXT_PRODUCT "Zelvanor"
#define ZV_TEXT_VERSION_INFO "Version Info"
#define ZV_TEXT_EXIT "Exit"

#endif
