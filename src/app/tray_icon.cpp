/*
 * The notification-area icon: ready, no port, or active, and the retry of
 * an add the shell refused. Called from the main thread (start-up,
 * shutdown, settings changes, the retry timer) and from the reader worker
 * (updates around each burst); each call fills a record of its own.
 */
#include "app.h"

#include "../../res/resource.h"

/* The PortOk last shown, so that a restarted shell can be given the icon
   again as it was. Written by both threads. */
static std::atomic<LONG> lastPortOk{0};

static_assert(sizeof(void *) != 4 || NOTIFYICONDATAA_V1_SIZE == 88,
              "the shell's first record form is 88 bytes on 32-bit Windows");

void FillTrayRecord(NOTIFYICONDATAA *record, int portOk)
{
    /* The first form of the record: 88 bytes on 32-bit Windows. */
    ZeroMemory(record, NOTIFYICONDATAA_V1_SIZE);
    record->cbSize = NOTIFYICONDATAA_V1_SIZE;
    record->hWnd = AppState.mainWindow;
    record->uID = 0;
    record->uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record->uCallbackMessage = WM_TRAYNOTIFY;
    lstrcpynA(record->szTip, kWindowTitle, sizeof record->szTip);

    int id;
    if (!portOk)
        id = IDI_NOPORT;
    else if (AppState.transferActive)
        id = IDI_ACTIVE;
    else
        id = IDI_READY;
    /* Loaded on every fill; LoadIcon's shared handles are never destroyed. */
    record->hIcon = LoadIconA(AppState.instance, MAKEINTRESOURCEA(id));
}

/* Where the icon stands. Missing: wanted, but the shell refused the add,
   and the retry timer is (or is about to be) running. Written by both
   threads, read by both; the worker changes it only from Shown. */
enum : LONG { kIconNotWanted, kIconMissing, kIconShown };
static std::atomic<LONG> iconState{kIconNotWanted};

/* The window whose retry timer runs, null when none does. Main thread. */
static HWND retryTimerWindow;

/* Each call fills its record afresh, so that it carries the state in force
   when it is sent. */
static BOOL NotifyTray(DWORD action)
{
    NOTIFYICONDATAA record;
    FillTrayRecord(&record, lastPortOk);
    return Shell_NotifyIconA(action, &record);
}

/*
 * Shell_NotifyIcon waits only a few seconds for the taskbar and fails when
 * it is too busy to answer, as it often is at logon (Geoff Chappell's
 * "Missing Icons in Notification Area"; the note on Microsoft's page
 * "Shell_NotifyIconA function" advises waiting and trying again; see
 * docs/wine-and-windows.md). The shell refuses an
 * add for a (window, id) it holds already (Wine's explorer does too): an
 * add that was refused, or timed out and was still carried out, is then
 * taken as the icon being there if it can be modified.
 */
static bool AddOrAdopt(void)
{
    return NotifyTray(NIM_ADD) || NotifyTray(NIM_MODIFY);
}

/* Runs the retry timer while the icon is missing and stops it otherwise.
   Main thread: SetTimer for the hidden window works only there. */
static void SyncRetryTimer(void)
{
    if (iconState == kIconMissing) {
        if (retryTimerWindow != AppState.mainWindow &&
            SetTimer(AppState.mainWindow, IDT_TRAY_RETRY, TRAY_RETRY_MS, nullptr))
            retryTimerWindow = AppState.mainWindow;
    } else if (retryTimerWindow) {
        KillTimer(retryTimerWindow, IDT_TRAY_RETRY);
        retryTimerWindow = nullptr;
    }
}

void AddTrayIcon(int portOk)
{
    lastPortOk = portOk ? 1 : 0;
    iconState = AddOrAdopt() ? kIconShown : kIconMissing;
    SyncRetryTimer();
}

void UpdateTrayIcon(int portOk)
{
    lastPortOk = portOk ? 1 : 0;
    /* While the icon is missing the retry adds it, as things then are;
       asking a shell that is too busy would only hold this thread up. */
    LONG state = iconState;
    if (state == kIconMissing || NotifyTray(NIM_MODIFY) || state == kIconNotWanted)
        return;

    /* The shell has lost the icon: add it again. */
    if (NotifyTray(NIM_ADD)) {
        /* Removed meanwhile (shutdown): take it back. */
        if (iconState == kIconNotWanted)
            NotifyTray(NIM_DELETE);
        return;
    }
    LONG shown = kIconShown;
    if (!iconState.compare_exchange_strong(shown, kIconMissing))
        return;
    if (GetWindowThreadProcessId(AppState.mainWindow, nullptr) == GetCurrentThreadId())
        SyncRetryTimer();
    else
        PostMessageA(AppState.mainWindow, WM_TRAYRETRY, 0, 0);
}

void RetryTrayIcon(void)
{
    /* Anyone can post the timer's message or WM_TRAYRETRY: only a missing
       icon is added, and the timer ends once it is not missing. */
    if (iconState == kIconMissing && AddOrAdopt()) {
        LONG missing = kIconMissing;
        iconState.compare_exchange_strong(missing, kIconShown);
    }
    SyncRetryTimer();
}

void RemoveTrayIcon(void)
{
    iconState = kIconNotWanted;
    SyncRetryTimer();
    NOTIFYICONDATAA record;
    ZeroMemory(&record, NOTIFYICONDATAA_V1_SIZE);
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = AppState.mainWindow;
    record.uID = 0;
    record.uFlags = NIF_ICON;
    Shell_NotifyIconA(NIM_DELETE, &record);
}

int LastTrayPortOk(void)
{
    return lastPortOk;
}
