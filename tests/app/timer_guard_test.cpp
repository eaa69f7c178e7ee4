/*
 * The timer guard, in process: timer messages whose lParam is a planted
 * callback are posted while the main loop, a dialog's or the tray menu's
 * loop runs on this thread; observer hooks before and after the guard show
 * that it let everything else through.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "app/app.h"
#include "resource.h"
#include "support/host.h"
#include "support/dialogs.h"
#include "support/timing.h"

namespace {

std::atomic<int> plantedCalls{0};

VOID CALLBACK Planted(HWND, UINT, UINT_PTR, DWORD)
{
    plantedCalls++;
}

bool IsTimer(UINT message)
{
    return message == WM_TIMER || message == testbed::kSysTimer;
}

/* Timer messages taken from the queue (PM_REMOVE) with a callback address,
   as the loop got them before the guard (raw) and after it (passed). */
std::atomic<int> rawPlanted{0}, rawOtherCallbacks{0}, passedTimerCallbacks{0}, passedSysTimers{0};
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
        if (msg->message == testbed::kSysTimer && msg->lParam)
            passedSysTimers++;
        else if (msg->lParam)
            passedTimerCallbacks++;
        else if (msg->message == WM_TIMER && msg->wParam == 7)
            passedPlainTimers++;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

/* A window of the test's thread whose procedure records what reaches it:
   WM_SYSTIMER messages with their parameters, and markers (WM_APP). */
struct Recorded {
    std::vector<std::pair<WPARAM, LPARAM>> sysTimers;
    int markers = 0;
} recorded;

LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == testbed::kSysTimer)
        recorded.sysTimers.emplace_back(wParam, lParam);
    else if (message == WM_APP)
        recorded.markers++;
    else
        return DefWindowProcA(window, message, wParam, lParam);
    return 0;
}

HWND CreateRecorder()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = RecorderProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "TimerGuardRecorder";
    RegisterClassA(&wc); /* once per process; later calls fail harmlessly */
    recorded = Recorded();
    return CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

/* DispatchPending with the Unicode calls, as the system's modal loops do. */
void DispatchPendingWide()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

/* Runs this thread's loop as the main loop does (`wide`: as the system's
   modal loops do) until it has dispatched what was posted to `recorder`. */
::testing::AssertionResult PumpPast(HWND recorder, bool wide = false)
{
    int markers = recorded.markers;
    PostMessageA(recorder, WM_APP, 0, 0);
    return testbed::WaitUntil("the loop to take the messages posted before a marker", [&] {
        if (wide)
            DispatchPendingWide();
        else
            testbed::DispatchPending();
        return recorded.markers > markers;
    }, 5000);
}

void PostPlanted(HWND window)
{
    PostMessageA(window, WM_TIMER, 1, (LPARAM)Planted);
    PostMessageA(window, testbed::kSysTimer, 1, (LPARAM)Planted);
}

class TimerGuardTest : public testbed::HostedWindowTest {
protected:
    void SetUp() override
    {
        testbed::HostedWindowTest::SetUp();
        if (HasFatalFailure())
            return;
        recorder_ = CreateRecorder();
        ASSERT_NE(nullptr, recorder_);
        ASSERT_TRUE(PumpPast(recorder_));
        plantedCalls = rawPlanted = rawOtherCallbacks = passedTimerCallbacks = passedSysTimers = passedPlainTimers = 0;
        /* The hook installed last is called first. */
        passedHook = SetWindowsHookExA(WH_GETMESSAGE, PassedObserver, nullptr, GetCurrentThreadId());
        ASSERT_TRUE(InstallTimerGuard(1));
        rawHook = SetWindowsHookExA(WH_GETMESSAGE, RawObserver, nullptr, GetCurrentThreadId());
        ASSERT_TRUE(passedHook && rawHook);
    }
    void TearDown() override
    {
        UnhookWindowsHookEx(rawHook);
        RemoveTimerGuard();
        UnhookWindowsHookEx(passedHook);
        DestroyWindow(recorder_);
        testbed::HostedWindowTest::TearDown();
    }

    HWND recorder_ = nullptr;
};

TEST(TimerGuardPlatform, WithoutTheGuardWineCallsAnyTimerCallbackItIsPosted)
{
    /* Why the guard exists: if this ever fails, the platform checks the
       callback itself and the tests below prove less. */
    HWND window = CreateRecorder();
    ASSERT_NE(nullptr, window);
    plantedCalls = 0;
    PostMessageA(window, WM_TIMER, 1, (LPARAM)Planted);
    ASSERT_TRUE(PumpPast(window));
    EXPECT_EQ(1, plantedCalls.load()) << "a posted WM_TIMER's callback was not called";
    /* A WM_SYSTIMER's too, where the system's own loops dispatch it. */
    PostMessageA(window, testbed::kSysTimer, 1, (LPARAM)Planted);
    ASSERT_TRUE(PumpPast(window, true));
    EXPECT_EQ(2, plantedCalls.load()) << "a posted WM_SYSTIMER's callback was not called by a Unicode loop";
    /* The program asks the same question of the platform by name; its
       answer must match what the platform just did. */
    EXPECT_EQ(plantedCalls.load() > 0, PlatformCallsAnyTimerCallback() != 0)
        << "the program's answer to whether this platform calls unregistered timer callbacks";
    DestroyWindow(window);
}

TEST(TimerGuardPlatform, GuardIsInstalledOnlyWhereThePlatformCallsAnyCallback)
{
    HWND window = CreateRecorder();
    ASSERT_NE(nullptr, window);
    plantedCalls = 0;

    /* Where the platform checks callbacks itself, nothing is hooked: a
       WM_SYSTIMER carrying a routine reaches the window as it was sent (on
       Windows that is the system's own timer), and a planted WM_TIMER
       reaches the platform (which here, being Wine, calls it). */
    EXPECT_FALSE(InstallTimerGuard(0)) << "a guard was installed where none is needed";
    PostPlanted(window);
    ASSERT_TRUE(PumpPast(window));
    EXPECT_EQ((std::vector<std::pair<WPARAM, LPARAM>>{{1, (LPARAM)Planted}}), recorded.sysTimers)
        << "WM_SYSTIMER messages that reached the window procedure, wParam and lParam as sent";
    EXPECT_EQ(1, plantedCalls.load()) << "without a guard the planted WM_TIMER was still dropped";

    /* Where it calls any callback, both are dropped. */
    EXPECT_TRUE(InstallTimerGuard(1)) << "no guard where the platform calls any callback";
    PostPlanted(window);
    ASSERT_TRUE(PumpPast(window));
    EXPECT_EQ(1u, recorded.sysTimers.size()) << "a WM_SYSTIMER with a callback got past the guard";
    EXPECT_EQ(1, plantedCalls.load()) << "with the guard the planted callback was called";
    RemoveTimerGuard();
    DestroyWindow(window);
}

TEST_F(TimerGuardTest, MainLoopDropsTimersWithACallbackAndPassesTheRest)
{
    PostPlanted(AppState.mainWindow);
    PostThreadMessageA(GetCurrentThreadId(), WM_TIMER, 1, (LPARAM)Planted);
    PostMessageA(recorder_, testbed::kSysTimer, 3, 0);
    ASSERT_NE(0u, SetTimer(AppState.mainWindow, 7, 10, nullptr));
    ASSERT_TRUE(PumpPast(recorder_));
    EXPECT_TRUE(testbed::PumpUntil("the window's own timer to pass", [] { return passedPlainTimers > 0; }, 5000));
    KillTimer(AppState.mainWindow, 7);

    EXPECT_EQ(0, plantedCalls.load()) << "a planted callback was called";
    EXPECT_EQ(3, rawPlanted.load()) << "planted timer messages taken by the loop";
    EXPECT_EQ(0, passedTimerCallbacks.load()) << "WM_TIMER messages with a callback got past the guard";
    EXPECT_EQ(0, passedSysTimers.load()) << "WM_SYSTIMER messages with a callback got past the guard";
    ASSERT_EQ(1u, recorded.sysTimers.size()) << "a WM_SYSTIMER without a callback did not reach its window";
    EXPECT_EQ((WPARAM)3, recorded.sysTimers[0].first);
    EXPECT_EQ(0, rawOtherCallbacks.load()) << "the system posted timer messages with callbacks of its own";
}

TEST_F(TimerGuardTest, DialogAndMenuLoopsDropThemToo)
{
    struct Case {
        const char *what;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        bool isMenu;
    };
    const Case cases[] = {
        {"settings dialog", WM_COMMAND, IDM_SETTINGS, 0, false},
        {"About box", WM_COMMAND, IDM_ABOUT, 0, false},
        {"tray menu", WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN, true},
    };
    /* Each message opens a modal loop on this thread; the watcher, at first
       sight of the loop's menu or dialog, posts planted timers to it and to
       the hidden window, and closes it once they have been taken. */
    testbed::ModalWatcher::Options watch;
    watch.owner = AppState.mainWindow;
    watch.onSeen = [](const testbed::ModalWatcher::Seen &modal) {
        PostPlanted(AppState.mainWindow);
        PostPlanted(modal.window);
        testbed::WaitUntil("the modal loop to take the planted messages", [] { return rawPlanted >= 4; }, 3000);
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        plantedCalls = rawPlanted = rawOtherCallbacks = passedTimerCallbacks = passedSysTimers = 0;
        testbed::ModalWatcher watcher(watch);
        SendMessageA(AppState.mainWindow, c.message, c.wParam, c.lParam);
        EXPECT_TRUE(watcher.Stop(10000)) << "the watcher did not stop";
        std::vector<testbed::ModalWatcher::Seen> seen = watcher.seen();
        ASSERT_EQ(1u, seen.size()) << "the " << c.what << " did not open, or more opened";
        EXPECT_EQ(c.isMenu, seen[0].isMenu);
        int takenInLoop = rawPlanted;
        ASSERT_TRUE(PumpPast(recorder_));
        EXPECT_EQ(4, takenInLoop) << "planted timer messages taken while the " << c.what << " was up";
        EXPECT_EQ(0, plantedCalls.load()) << "a planted callback was called";
        EXPECT_EQ(0, passedTimerCallbacks.load()) << "WM_TIMER messages with a callback got past the guard";
        EXPECT_EQ(0, passedSysTimers.load()) << "WM_SYSTIMER messages with a callback got past the guard";
        EXPECT_EQ(0, rawOtherCallbacks.load()) << "the system posted timer messages with callbacks of its own";
    }
}

}  // namespace
