/*
 * The timer guard, in process: a timer message whose lParam is the address
 * of a planted callback is posted while the main loop, a dialog's loop or
 * the tray menu's loop runs on this thread. The callback records any call.
 * Two observer hooks see each message as it is taken, one before the guard
 * and one after it, so that a test also sees that the guard let everything
 * else through.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "app/app.h"
#include "resource.h"
#include "support/host.h"
#include "support/program.h"
#include "support/timing.h"

namespace {

const UINT kSysTimer = 0x118; /* WM_SYSTIMER */

std::atomic<int> plantedCalls{0};

VOID CALLBACK Planted(HWND, UINT, UINT_PTR, DWORD)
{
    plantedCalls++;
}

bool IsTimer(UINT message)
{
    return message == WM_TIMER || message == kSysTimer;
}

/* Timer messages taken from the queue (PM_REMOVE) with a callback address,
   as the loop got them before the guard (raw) and after it (passed). */
std::atomic<int> rawPlanted{0}, rawOtherCallbacks{0}, passedCallbacks{0};
std::atomic<int> passedPlainTimers{0}; /* WM_TIMER id 7, no callback, after the guard */
HHOOK rawHook, passedHook;

LRESULT CALLBACK RawObserver(int code, WPARAM wParam, LPARAM lParam)
{
    const MSG *msg = (const MSG *)lParam;
    if (code == HC_ACTION && wParam == PM_REMOVE && IsTimer(msg->message) && msg->lParam) {
        if (msg->lParam == (LPARAM)Planted)
            rawPlanted++;
        else
            rawOtherCallbacks++;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK PassedObserver(int code, WPARAM wParam, LPARAM lParam)
{
    const MSG *msg = (const MSG *)lParam;
    if (code == HC_ACTION && wParam == PM_REMOVE && IsTimer(msg->message)) {
        if (msg->lParam)
            passedCallbacks++;
        else if (msg->message == WM_TIMER && msg->wParam == 7)
            passedPlainTimers++;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

/* Takes and dispatches this thread's messages for `ms` milliseconds, as the
   program's main loop does. */
void RunMainLoop(DWORD ms)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PostPlanted(HWND window)
{
    PostMessageA(window, WM_TIMER, 1, (LPARAM)Planted);
    PostMessageA(window, kSysTimer, 1, (LPARAM)Planted);
}

class TimerGuardTest : public testbed::HostedWindowTest {
protected:
    void SetUp() override
    {
        testbed::HostedWindowTest::SetUp();
        if (HasFatalFailure())
            return;
        window_ = AppState.mainWindow;
        RunMainLoop(0);
        plantedCalls = rawPlanted = rawOtherCallbacks = passedCallbacks = passedPlainTimers = 0;
        /* The hook installed last is called first. */
        passedHook = SetWindowsHookExA(WH_GETMESSAGE, PassedObserver, nullptr, GetCurrentThreadId());
        ASSERT_TRUE(InstallTimerGuard());
        rawHook = SetWindowsHookExA(WH_GETMESSAGE, RawObserver, nullptr, GetCurrentThreadId());
        ASSERT_TRUE(passedHook && rawHook);
    }
    void TearDown() override
    {
        UnhookWindowsHookEx(rawHook);
        RemoveTimerGuard();
        UnhookWindowsHookEx(passedHook);
        testbed::HostedWindowTest::TearDown();
    }

    /* Sends `message` to the hidden window, which opens a modal loop on
       this thread; meanwhile another thread waits for the loop's window of
       class `modalClass`, posts planted timers to it and to the hidden
       window, and closes it once they have been taken. */
    void PlantDuring(UINT message, WPARAM wParam, LPARAM lParam, const char *modalClass, bool *seen)
    {
        std::atomic<bool> found{false};
        HWND window = window_;
        testbed::Background planter([&] {
            HWND modal = testbed::WaitForVisibleWindow(GetCurrentProcessId(), modalClass, 5000);
            if (!modal)
                return;
            found = true;
            PostPlanted(window);
            PostPlanted(modal);
            for (int i = 0; i < 300 && rawPlanted < 4; i++)
                Sleep(10);
            if (lstrcmpA(modalClass, "#32768") == 0) {
                PostMessageA(modal, WM_KEYDOWN, VK_ESCAPE, 0);
                PostMessageA(window, WM_CANCELMODE, 0, 0);
            } else {
                PostMessageA(modal, WM_COMMAND, IDCANCEL, 0);
            }
        });
        SendMessageA(window_, message, wParam, lParam);
        EXPECT_TRUE(planter.Join(10000));
        *seen = found;
    }

    HWND window_ = nullptr;
};

TEST(TimerGuardPlatform, WithoutTheGuardWineCallsAnyTimerCallbackItIsPosted)
{
    /* Why the guard exists: if this ever fails, the platform checks the
       callback itself and the tests below prove less. */
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    plantedCalls = 0;
    PostMessageA(window, WM_TIMER, 1, (LPARAM)Planted);
    RunMainLoop(100);
    EXPECT_EQ(1, plantedCalls.load()) << "a posted WM_TIMER's callback was not called";
    DestroyWindow(window);
}

TEST_F(TimerGuardTest, MainLoopDropsTimersWithACallbackAndPassesTheRest)
{
    PostPlanted(window_);
    PostThreadMessageA(GetCurrentThreadId(), WM_TIMER, 1, (LPARAM)Planted);
    UINT_PTR timer = SetTimer(window_, 7, 10, nullptr);
    ASSERT_NE(0u, timer);
    RunMainLoop(300);
    KillTimer(window_, 7);

    EXPECT_EQ(0, plantedCalls.load()) << "a planted callback was called";
    EXPECT_EQ(3, rawPlanted.load()) << "planted timer messages taken by the loop";
    EXPECT_EQ(0, passedCallbacks.load()) << "timer messages with a callback got past the guard";
    EXPECT_GT(passedPlainTimers.load(), 0) << "the window's own timer, without a callback, was dropped";
    EXPECT_EQ(0, rawOtherCallbacks.load()) << "the system posted timer messages with callbacks of its own";
}

TEST_F(TimerGuardTest, DialogAndMenuLoopsDropThemToo)
{
    struct Case {
        const char *what;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        const char *modalClass;
    };
    const Case cases[] = {
        {"settings dialog", WM_COMMAND, IDM_SETTINGS, 0, "#32770"},
        {"About box", WM_COMMAND, IDM_ABOUT, 0, "#32770"},
        {"tray menu", WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN, "#32768"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        plantedCalls = rawPlanted = rawOtherCallbacks = passedCallbacks = 0;
        bool seen = false;
        PlantDuring(c.message, c.wParam, c.lParam, c.modalClass, &seen);
        ASSERT_TRUE(seen) << "the " << c.what << " did not open";
        int takenInLoop = rawPlanted;
        RunMainLoop(100);
        EXPECT_EQ(4, takenInLoop) << "planted timer messages taken while the " << c.what << " was up";
        EXPECT_EQ(0, plantedCalls.load()) << "a planted callback was called";
        EXPECT_EQ(0, passedCallbacks.load()) << "timer messages with a callback got past the guard";
        EXPECT_EQ(0, rawOtherCallbacks.load()) << "the system posted timer messages with callbacks of its own";
    }
}

}  // namespace
