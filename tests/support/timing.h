/*
 * Time and threads as a test sees them: clocks, bounded waits that name
 * what they wait for, this thread's messages, and threads of its own.
 */
#ifndef TAVRIN_TESTS_TIMING_H
#define TAVRIN_TESTS_TIMING_H

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace testbed {

/* WM_SYSTIMER, the system's own timer message; like WM_TIMER it may
   carry a callback address in lParam. */
const UINT kSysTimer = 0x118;

/* Milliseconds since an arbitrary start, with sub-millisecond resolution. */
double NowMs();

/* The system time now, as a FILETIME value (comparable with the times the
   system records for threads). */
ULONGLONG FileTimeNow();

/* Polls `condition` until it holds or `timeoutMs` has passed. A failure
   names `what` was waited for and for how long, so that
   ASSERT_TRUE(WaitUntil("the worker to end", ...)) explains itself. */
::testing::AssertionResult WaitUntil(const std::string &what, const std::function<bool()> &condition,
                                     DWORD timeoutMs);
/* The same, dispatching this thread's messages while it waits, for a
   test whose own windows must keep answering meanwhile. */
::testing::AssertionResult PumpUntil(const std::string &what, const std::function<bool()> &condition,
                                     DWORD timeoutMs);

/* Dispatches every message now waiting in this thread's queue with the
   ANSI calls, as the program's main loop does; `seen`, if given, is shown
   each message first (a quit message too). */
void DispatchPending(const std::function<void(const MSG &)> &seen = nullptr);

/* Seconds a long case runs, from the environment variable `name` if set
   (so that a soak can be shortened or lengthened), else `fallback`. */
DWORD EnvSeconds(const char *name, DWORD fallback);

/* A function run on a thread of its own, joined with a bound. */
class Background {
public:
    explicit Background(std::function<void()> body);
    ~Background();
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;
    /* Waits for the function to return; false on time-out. */
    bool Join(DWORD timeoutMs);

private:
    static DWORD WINAPI Run(LPVOID self);
    std::function<void()> body_;
    HANDLE thread_;
};

}  // namespace testbed

#endif
