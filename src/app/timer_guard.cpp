/*
 * The timer guard: keeps the main thread from calling an address that a
 * forged timer message carries. Main thread.
 *
 * A WM_TIMER's lParam names the timer's callback. Windows calls it only if
 * SetTimer registered it for that window, so a posted WM_TIMER cannot make
 * it call anything; and the system's own timers reach a window as
 * WM_SYSTIMER messages that carry the system's timer routine in lParam,
 * which nothing here may drop. So on Windows no hook is installed at all.
 * Wine calls whatever a WM_TIMER's lParam holds, and a WM_SYSTIMER's too
 * when it is dispatched the Unicode way, as the system's own modal loops
 * (dialogs, menus) do; anyone may post such a message to our window, and
 * in a 32-bit process a random value lands in live code. Tavrin sets no
 * timer with a callback, and Wine's own system timers carry none, so under
 * Wine every timer message that carries one is forged and is dropped.
 * Timer messages without one (the caret's, the controls' own) pass.
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

int PlatformCallsAnyTimerCallback(void)
{
    /* Wine's ntdll names its version; Windows' has no such export. */
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool InstallTimerGuard(int needed)
{
    if (needed && !timerGuard)
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
