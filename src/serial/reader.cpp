/*
 * The reader worker: waits for the device to receive, collects a burst
 * (bytes with no gap of 100 ms or more, cut at BURST_MAX) and types it into
 * the focused window of the foreground application, one WM_CHAR per byte
 * (or, with the Keys setting, as key presses: key_typing.cpp).
 * ReaderThreadProc and DeliverBurst run on the worker thread; StartReader
 * and StopReader on the main thread.
 */
#include "serial.h"

#include "../app/app.h"

static const DWORD kNoPortSleepMs = 1000;   /* idle poll with no port open */
static const DWORD kEmptyReadSleepMs = 200; /* pause after a wait with no byte */
static const DWORD kActivePulseMs = 50;     /* icon shows active at least this */
static const DWORD kCancelRetryMs = 20;     /* StopReader's cancel cadence */
static const DWORD kTerminateWaitMs = 100;  /* for a forced end to complete */

/* Set by the worker, just before it ends by itself, when its receive wait
   failed while it was wanted (the device is gone); cleared by StartReader,
   while no worker runs. */
static std::atomic<LONG> readerLost{0};

/* Queued to the worker only to end an alertable sleep early. */
static VOID CALLBACK WakeReader(ULONG_PTR parameter)
{
    (void)parameter;
}

void StartReader(void)
{
    readerLost = 0;
    AppState.readerRun = 1;
    AppState.readerThread = CreateThread(nullptr, 0, ReaderThreadProc, nullptr, 0,
                                         &AppState.readerThreadId);
}

void StopReader(void)
{
    HANDLE thread = AppState.readerThread;

    AppState.readerRun = 0;
    if (!thread)
        return;

    /* A worker blocked in its receive wait or in a read never sees
       readerRun fall. Cancel its synchronous I/O, again and again since a
       cancel only reaches a call already in progress, and cut its idle
       sleep with no port short, until it ends or the bound runs out. Forced
       termination is the last resort: it can leave locks held inside the
       process. */
    DWORD start = GetTickCount();
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        CancelSynchronousIo(thread);
        QueueUserAPC(WakeReader, thread, 0);
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= READER_STOP_TIMEOUT_MS)
            break;
        DWORD slice = READER_STOP_TIMEOUT_MS - elapsed;
        if (slice > kCancelRetryMs)
            slice = kCancelRetryMs;
        result = WaitForSingleObject(thread, slice);
        if (result != WAIT_TIMEOUT)
            break;
    }
    if (result != WAIT_OBJECT_0) {
        /* TerminateThread only asks for the end; wait, briefly, for it to
           happen, so that the next worker never overlaps this one. */
        TerminateThread(thread, 0xFFFFFFFF);
        WaitForSingleObject(thread, kTerminateWaitMs);
        /* A worker killed during a delivery cannot reset the flag itself;
           without this the icon would show active for good. */
        AppState.transferActive = 0;
    }
    CloseHandle(thread);
    AppState.readerThread = nullptr;
}

void DeliverBurst(const BYTE *buffer, DWORD count)
{
    /* The focused window belongs to the foreground thread's input state;
       GetFocus answers for it only while our input is attached to it. */
    DWORD self = GetCurrentThreadId();
    DWORD targetThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    AttachThreadInput(self, targetThread, TRUE);
    HWND target = GetFocus();
    bool capsLock = (GetKeyState(VK_CAPITAL) & 1) != 0;
    AttachThreadInput(self, targetThread, FALSE);

    AppState.transferActive = 1;
    UpdateTrayIcon(IsPortOpen());

    /* With no target, posts would land in this thread's own queue, which
       nobody reads: post nothing, and press no key either. */
    if (target && AppState.typeKeys) {
        TypeBurstAsKeys(buffer, count, target, targetThread, capsLock);
    } else if (target) {
        for (DWORD i = 0; i < count; i++)
            PostMessageA(target, WM_CHAR, (WPARAM)buffer[i], 0);
    }

    Sleep(kActivePulseMs);
    AppState.transferActive = 0;
    UpdateTrayIcon(IsPortOpen());
}

DWORD WINAPI ReaderThreadProc(LPVOID parameter)
{
    (void)parameter;
    BYTE buffer[BURST_MAX];

    /* Bytes that arrived while no worker ran are never delivered. */
    PurgeComm(AppState.portHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (!AppState.readerRun)
        return 0;

    do {
        /* Alertable: StopReader ends it with an APC, so that a change or
           a new try need not wait out the second. */
        if (!IsPortOpen()) {
            SleepEx(kNoPortSleepMs, TRUE);
            continue;
        }

        DWORD mask = EV_RXCHAR;
        if (!WaitCommEvent(AppState.portHandle, &mask, nullptr)) {
            /* The device is gone (an adapter pulled, say). Unless the
               failure is StopReader cancelling the wait, say so on the
               icon and tell the main thread, which closes the dead handle
               once this thread has ended. */
            if (AppState.readerRun) {
                UpdateTrayIcon(0);
                readerLost = 1;
                PostMessageA(AppState.mainWindow, WM_READERLOST, 0, 0);
            }
            return 0;
        }

        DWORD got = 0;
        ReadFile(AppState.portHandle, buffer, 1, &got, nullptr);
        /* A plain sleep: under Wine an alertable one costs a wineserver
           request, and this pause comes three times a second while Wine's
           receive wait returns at once. A stop waits out what is left. */
        if (got == 0) {
            Sleep(kEmptyReadSleepMs);
            continue;
        }

        DWORD held = 1;
        while (held < BURST_MAX) {
            got = 0;
            if (!ReadFile(AppState.portHandle, buffer + held, 1, &got, nullptr) || got != 1)
                break;
            held++;
        }
        DeliverBurst(buffer, held);
    } while (AppState.readerRun);

    return 0;
}

int ReaderLost(void)
{
    return readerLost;
}

int ReleaseLostReader(void)
{
    HANDLE thread = AppState.readerThread;

    /* Only a worker that has ended by itself after a failed wait, while it
       was still wanted, is taken for a lost device: the message that
       brings us here may come from anyone. */
    if (!readerLost || !AppState.readerRun || !thread)
        return 0;
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(thread, READER_STOP_TIMEOUT_MS) != WAIT_OBJECT_0 || !GetExitCodeThread(thread, &code)
        || code != 0)
        return 0;
    CloseHandle(thread);
    AppState.readerThread = nullptr;
    readerLost = 0;
    DropLostPort();
    return 1;
}
