#include "support/timing.h"

#include <cstdlib>

namespace testbed {

double NowMs()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * (double)now.QuadPart / (double)frequency.QuadPart;
}

ULONGLONG FileTimeNow()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

/* Polls every 10 ms; `pump` dispatches this thread's messages before each
   look and wakes for a new one. */
static ::testing::AssertionResult Poll(const std::string &what, const std::function<bool()> &condition,
                                       DWORD timeoutMs, bool pump)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (pump)
            DispatchPending();
        if (condition())
            return ::testing::AssertionSuccess();
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return ::testing::AssertionFailure() << "waited " << timeoutMs << " ms for " << what << ", in vain";
        DWORD slice = timeoutMs - elapsed < 10 ? timeoutMs - elapsed : 10;
        if (pump)
            MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
        else
            Sleep(slice);
    }
}

::testing::AssertionResult WaitUntil(const std::string &what, const std::function<bool()> &condition,
                                     DWORD timeoutMs)
{
    return Poll(what, condition, timeoutMs, false);
}

void DispatchPending(const std::function<void(const MSG &)> &seen)
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (seen)
            seen(msg);
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

::testing::AssertionResult PumpUntil(const std::string &what, const std::function<bool()> &condition,
                                     DWORD timeoutMs)
{
    return Poll(what, condition, timeoutMs, true);
}

DWORD EnvSeconds(const char *name, DWORD fallback)
{
    const char *value = getenv(name);
    long seconds = value ? strtol(value, nullptr, 10) : 0;
    return seconds > 0 ? (DWORD)seconds : fallback;
}

Background::Background(std::function<void()> body) : body_(std::move(body))
{
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

Background::~Background()
{
    if (thread_ && !Join(60000)) {
        /* The test has failed already; a runaway helper must not outlive
           the objects it uses. */
        TerminateThread(thread_, 1);
    }
    if (thread_)
        CloseHandle(thread_);
}

bool Background::Join(DWORD timeoutMs)
{
    return !thread_ || WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI Background::Run(LPVOID self)
{
    static_cast<Background *>(self)->body_();
    return 0;
}

}  // namespace testbed
