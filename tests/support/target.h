/*
 * The window the program types into: a visible, foreground, focused
 * top-level window of the test's own thread that records every WM_CHAR it
 * receives, with the time it came.
 *
 * Used by every test that checks what reached the focused window.
 */
#ifndef TAVRIN_TESTS_TARGET_H
#define TAVRIN_TESTS_TARGET_H

#include <windows.h>

#include <string>
#include <vector>

namespace testbed {

class TargetWindow {
public:
    struct Char {
        WPARAM wParam;
        LPARAM lParam;
        DWORD tick;      /* GetTickCount when dispatched */
        double ms;       /* NowMs when dispatched, for finer timing */
    };

    TargetWindow();
    ~TargetWindow();
    HWND hwnd() const { return hwnd_; }
    /* Makes it foreground and focused again (other windows may take it). */
    bool TakeFocus();
    /* Pumps this thread's messages until `count` characters have arrived
       or `timeoutMs` has passed; returns whether the count was reached. */
    bool WaitForChars(size_t count, DWORD timeoutMs);
    /* Pumps messages for `ms` milliseconds. */
    void Pump(DWORD ms);
    /* Pumps messages until no character has come for `quietMs`, or
       `timeoutMs` has passed; returns whether the line fell quiet. */
    bool WaitForQuiet(DWORD quietMs, DWORD timeoutMs);
    const std::vector<Char> &chars() const { return chars_; }
    std::string Text() const;     /* the wParam values as bytes */
    void Clear() { chars_.clear(); }
    /* Milliseconds each message's handling takes (a slow target). */
    void SetSlowness(DWORD ms) { slowMs_ = ms; }

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_;
    std::vector<Char> chars_;
    DWORD slowMs_ = 0;
};

/* Groups a recorded character stream into bursts: a new burst starts where
   two consecutive characters arrived more than `gapMs` apart. */
std::vector<std::string> SplitBursts(const std::vector<TargetWindow::Char> &chars, DWORD gapMs);

}  // namespace testbed

#endif
