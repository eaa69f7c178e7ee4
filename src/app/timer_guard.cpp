/*
 * The timer guard: keeps the main thread from calling an address that a
 * timer message carries. Main thread.
 *
 * DispatchMessage calls the lParam of a WM_TIMER or WM_SYSTIMER as the
 * timer's callback. Windows does so only for a callback that SetTimer
 * registered, but Wine calls any value, and anyone may post such a message
 * to our window: in a 32-bit process a random value lands in live code.
 * Tavrin sets no timer with a callback, so every timer message that carries
 * one is forged (or someone else's) and is dropped. Timer messages without
 * one (the caret's, the controls' own) pass untouched.
 *
 * The guard is a message hook of this thread rather than a check in our own
 * loop, because the dialogs and the tray menu run modal loops of the
 * system's that dispatch whatever they take from the queue; the hook sees
 * each message as any loop takes it, before it can be dispatched.
 */
#include "app.h"

/* Undocumented, but posted and dispatched like WM_TIMER. */
#define WM_SYSTIMER 0x0118

static HHOOK timerGuard; /* main thread */

static LRESULT CALLBACK TimerGuardProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION) {
        /* For this hook, lParam is the address of the message taken. */
        MSG *msg = reinterpret_cast<MSG *>(lParam); // NOLINT(performance-no-int-to-ptr)
        if ((msg->message == WM_TIMER || msg->message == WM_SYSTIMER) && msg->lParam != 0) {
            /* What the loop then dispatches does nothing. */
            msg->message = WM_NULL;
            msg->wParam = 0;
            msg->lParam = 0;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool InstallTimerGuard(void)
{
    if (!timerGuard)
        timerGuard = SetWindowsHookExA(WH_GETMESSAGE, TimerGuardProc, nullptr, GetCurrentThreadId());
    return timerGuard != nullptr;
}

void RemoveTimerGuard(void)
{
    if (timerGuard) {
        UnhookWindowsHookEx(timerGuard);
        timerGuard = nullptr;
    }
}
