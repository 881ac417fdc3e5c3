// Resource identifiers of QLOPGPMonitor.exe, shared by the resource script and the code.
#pragma once

#define IDI_QLOPGPMONITOR 129    // the program file's own icon (padlock before a folder)
#define IDI_LOGGED_IN 130        // tray: a user is logged on
#define IDI_NOT_LOGGED_IN 131    // tray: nobody is logged on
#define IDR_TRAY_MENU 132        // the right-click menu, one popup "CTX"

#define IDM_LOGON 133
#define IDM_LOGOFF 134
#define IDM_DEFAULT_SETTINGS 135
#define IDM_KEY_MANAGER 136
#define IDM_HELP 137
#define IDM_EXIT 138
#define IDM_SECURE_TEXT_EDITOR 139
