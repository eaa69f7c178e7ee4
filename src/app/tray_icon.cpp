/*
 * The notification-area icon: ready, no port, or active. Called from the
 * main thread (start-up, shutdown, settings changes) and from the reader
 * worker (around each burst); each call fills a record of its own.
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

static void NotifyTray(DWORD action, int portOk)
{
    NOTIFYICONDATAA record;
    FillTrayRecord(&record, portOk);
    lastPortOk = portOk ? 1 : 0;
    Shell_NotifyIconA(action, &record);
}

void AddTrayIcon(int portOk)
{
    NotifyTray(NIM_ADD, portOk);
}

void UpdateTrayIcon(int portOk)
{
    NotifyTray(NIM_MODIFY, portOk);
}

void RemoveTrayIcon(void)
{
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
