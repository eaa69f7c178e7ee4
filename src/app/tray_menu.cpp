/*
 * The hidden window's procedure and the tray pop-up menu. Main thread.
 * Mouse actions on the icon arrive as WM_TRAYNOTIFY, menu choices as
 * WM_COMMAND; dialogOpen keeps a second dialog from opening while one runs
 * (the dialogs' own loops still dispatch this window's messages).
 */
#include "app.h"

#include <dbt.h>

#include "../../res/resource.h"
#include "../settings/settings.h"

/* UTF-16, handed over with the W call: an ANSI text would be read in the
   system's code page and come out right only under Windows-1251. */
static const wchar_t kMenuSettings[] = L"Настройка...";
static const char kMenuAbout[] = "About...";
static const char kMenuClose[] = "Close";

/* Sent by the shell to every top-level window when the taskbar is
   (re)created, for instance after Explorer restarts. */
static UINT TaskbarCreatedMessage(void)
{
    static UINT message;
    if (!message)
        message = RegisterWindowMessageA("TaskbarCreated");
    return message;
}

void CreateTrayMenu(void)
{
    AppState.trayMenu = CreatePopupMenu();
    if (!AppState.trayMenu)
        return;
    AppendMenuW(AppState.trayMenu, MF_STRING, IDM_SETTINGS, kMenuSettings);
    AppendMenuA(AppState.trayMenu, MF_STRING, IDM_ABOUT, kMenuAbout);
    AppendMenuA(AppState.trayMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(AppState.trayMenu, MF_STRING, IDM_CLOSE, kMenuClose);
}

void DestroyTrayMenu(void)
{
    /* Cleared, so that a second call cannot destroy a later menu that
       happens to get the same handle. */
    if (AppState.trayMenu)
        DestroyMenu(AppState.trayMenu);
    AppState.trayMenu = nullptr;
}

static void ShowTrayMenu(void)
{
    POINT cursor;
    GetCursorPos(&cursor);
    /* Without the foreground, the menu would not close when the user
       clicks elsewhere; the WM_NULL after it makes the switch complete. */
    SetForegroundWindow(AppState.mainWindow);
    TrackPopupMenu(AppState.trayMenu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0,
                   AppState.mainWindow, nullptr);
    PostMessageA(AppState.mainWindow, WM_NULL, 0, 0);
}

static void OnCommand(WORD command)
{
    switch (command) {
    case IDM_SETTINGS:
        if (!AppState.dialogOpen)
            ShowSettingsDialog();
        break;
    case IDM_CLOSE:
        /* Not guarded: it also ends an open dialog's modal loop. */
        PostQuitMessage(0);
        break;
    case IDM_ABOUT:
        if (!AppState.dialogOpen)
            ShowAboutDialog();
        break;
    default:
        break;
    }
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
    case WM_PAINT:
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return 0;
    case WM_TRAYNOTIFY:
        if (lParam == WM_MOUSEMOVE)
            return 0;
        if (lParam == WM_RBUTTONDOWN || lParam == WM_CONTEXTMENU) {
            ShowTrayMenu();
            return 0;
        }
        PostMessageA(AppState.mainWindow, WM_NULL, 0, 0);
        return 0;
    case WM_DEVICECHANGE:
        /* lParam is never read: nothing in it is needed, and whatever
           another process sends there is not to be trusted. TRUE grants
           any request (a removal, say). */
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVNODES_CHANGED)
            NoteDeviceAnnouncement();
        return TRUE;
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMRESUMEAUTOMATIC || wParam == PBT_APMRESUMESUSPEND)
            NoteDeviceAnnouncement();
        return TRUE;
    case WM_TIMER:
        if (wParam == IDT_PORT_RETRY) {
            OnPortRetryTimer();
            return 0;
        }
        if (wParam == IDT_TRAY_RETRY) {
            RetryTrayIcon();
            return 0;
        }
        break;
    case WM_READERLOST:
        OnReaderLost();
        return 0;
    case WM_TRAYRETRY:
        RetryTrayIcon();
        return 0;
    case WM_ENDSESSION:
        /* The session is ending and the shutdown steps will not run: keep
           this run's choices. The process may end as soon as we return. */
        if (wParam)
            SaveSettings();
        return 0;
    default:
        break;
    }
    if (message == TaskbarCreatedMessage() && message != 0) {
        /* The shell lost our icon; without it the program could be neither
           configured nor closed. */
        AddTrayIcon(LastTrayPortOk());
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
