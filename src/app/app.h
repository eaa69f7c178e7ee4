/*
 * Tray host: the process-wide state record, the hidden window, the tray
 * icon and menu, and the About box.
 */
#ifndef TAVRIN_APP_H
#define TAVRIN_APP_H

#include <windows.h>
#include <shellapi.h>

#include <atomic>

/* The tray icon's private callback message. */
#define WM_TRAYNOTIFY (WM_USER + 1)
/* Posted to the hidden window by the reader worker: WM_READERLOST when it
   ends because its device has gone; WM_TRAYRETRY when it found the icon
   gone and could not add it again. Anyone can post them: each is only a
   hint to look at state the main thread checks. */
#define WM_READERLOST (WM_APP + 1)
#define WM_TRAYRETRY (WM_APP + 2)

/* The hidden window's timers; none carries a callback. */
#define IDT_TRAY_RETRY 1   /* adds the icon again while the shell refuses it */
#define TRAY_RETRY_MS 3000
#define IDT_PORT_RETRY 2   /* the next try of a port that is not open */

/* The hidden window's class and title; the title is also the icon's tip. */
extern const char kWindowClassName[];
extern const char kWindowTitle[];

/*
 * All state shared by the main thread and the reader worker. There is one
 * instance, AppState, and no lock: each field has one writing thread, and
 * the two flags that cross threads are atomic.
 */
struct AppStateRecord {
    HINSTANCE instance = nullptr;     /* main thread at start-up; read by all */
    HWND mainWindow = nullptr;        /* main thread at start-up; read by all */
    HMENU trayMenu = nullptr;         /* main thread (tray menu) */
    int portNumber = 2;               /* main thread (settings); 1..4 when valid */
    int speedIndex = 5;               /* main thread (settings); 0..8 when valid */
    HANDLE portHandle = nullptr;      /* main thread, only while no worker runs;
                                         read by the worker. Open when > 0. */
    DCB lineSettings = {};            /* main thread (serial line) */
    HANDLE readerThread = nullptr;    /* main thread (reader start/stop) */
    DWORD readerThreadId = 0;         /* main thread; nobody reads it */
    std::atomic<LONG> readerRun{1};   /* main thread writes, worker reads */
    LONG dialogOpen = 0;              /* main thread (dialogs); read by the menu */
    std::atomic<LONG> transferActive{0}; /* worker writes, tray icon reads */
    std::atomic<LONG> typeKeys{0};    /* main thread (settings, at start-up);
                                         the worker reads it: 1 types each
                                         burst as key presses */
};

extern AppStateRecord AppState;

/* Hidden window and its class (main.cpp). */
ATOM RegisterMainWindowClass(HINSTANCE instance);
HWND CreateMainWindow(HINSTANCE instance);

/* Tray status icon (tray_icon.cpp). UpdateTrayIcon and FillTrayRecord are
   callable from both threads, the rest from the main thread only. An add
   the shell refuses is tried again by the retry timer until the icon is
   there; an update that finds the icon gone adds it again. */
void FillTrayRecord(NOTIFYICONDATAA *record, int portOk);
void AddTrayIcon(int portOk);
void UpdateTrayIcon(int portOk);
void RemoveTrayIcon(void);
void RetryTrayIcon(void);
/* The PortOk of the last add or update, for adding the icon again. */
int LastTrayPortOk(void);

/* Window procedure and tray menu (tray_menu.cpp). Main thread only. */
void CreateTrayMenu(void);
void DestroyTrayMenu(void);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

/* The port coming back (port_watch.cpp). Main thread only. */
/* Stops the reader, takes `port` and `speed` as the choice in force,
   selects the port, shows the result on the icon and starts the reader:
   a settings change, and a new try of the same choice. */
void ApplyPortChoice(int port, int speed);
/* Windows announced a device arrival, a change of the device tree or a
   resume: if the chosen port is not open, a try of it is made from the
   message queue, at once after a quiet spell, else once the gap since the
   last try has passed. */
void NoteDeviceAnnouncement(void);
/* IDT_PORT_RETRY came due: makes the pending try. */
void OnPortRetryTimer(void);
/* WM_READERLOST: lets go of a worker and a port the device has left. */
void OnReaderLost(void);
/* Tries made on announcements since the hidden window was made. */
LONG PortTriesMade(void);
#define PORT_RETRY_GAP_MS 3000   /* the least time between two tries */

/* Drops timer messages that carry a callback address, whatever loop takes
   them, where the platform would call it unregistered (Wine); elsewhere
   installs nothing (timer_guard.cpp). Main thread only. InstallTimerGuard
   returns whether the guard is in place. */
int PlatformCallsAnyTimerCallback(void);
bool InstallTimerGuard(int needed);
void RemoveTimerGuard(void);

/* About box (about_dialog.cpp). Main thread only. */
INT_PTR ShowAboutDialog(void);
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
