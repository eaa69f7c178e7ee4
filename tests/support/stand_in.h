/*
 * Windows that stand in for another program's: a top-level window on a
 * thread of its own, with its own message loop, so that the program under
 * test can block on it (a shell that does not answer) or find it in the
 * foreground without the test's own thread being involved.
 */
#ifndef TAVRIN_TESTS_STAND_IN_H
#define TAVRIN_TESTS_STAND_IN_H

#include <windows.h>

#include <functional>

namespace testbed {

class StandInWindow {
public:
    /* Answers one of the window's messages on its thread: returns true
       when it handled the message, with the result in *result; everything
       else goes to DefWindowProc. */
    using Handler = std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT *)>;

    struct Look {
        const char *className;   /* registered for this window, and removed after */
        const char *title;
        DWORD style;
        RECT rect;               /* left, top, right, bottom */
    };

    /* Creates the window on a new thread and returns once it exists (5 s
       at the most); `onCreated`, if given, runs on that thread first. */
    StandInWindow(const Look &look, Handler handler, std::function<void(HWND)> onCreated = nullptr);
    /* Closes the window and joins its thread, for `joinBoundMs` at the
       most (a handler may be slow on purpose) before ending it by force. */
    ~StandInWindow();
    StandInWindow(const StandInWindow &) = delete;
    StandInWindow &operator=(const StandInWindow &) = delete;

    HWND hwnd() const { return hwnd_; }
    DWORD threadId() const { return threadId_; }
    void SetJoinBound(DWORD ms) { joinBoundMs_ = ms; }

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    static DWORD WINAPI Run(LPVOID self);

    Look look_;
    Handler handler_;
    std::function<void(HWND)> onCreated_;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    HWND hwnd_ = nullptr;
    DWORD joinBoundMs_ = 5000;
};

/* A stand-in for the tray, found by Shell_NotifyIcon before the real one:
   `answer` sees each request the program sends it (a WM_COPYDATA) and
   gives the answer. */
class StandInTray {
public:
    using Answer = std::function<LRESULT(HWND owner, const COPYDATASTRUCT &request)>;
    explicit StandInTray(Answer answer);
    /* Whether it is the window Shell_NotifyIcon will find. */
    bool Found() const { return window_.hwnd() && FindWindowA("Shell_TrayWnd", nullptr) == window_.hwnd(); }

private:
    StandInWindow window_;
};

}  // namespace testbed

#endif
