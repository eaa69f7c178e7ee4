/*
 * The window the program types into, for every test that checks what
 * reached the focused window: a visible, foreground, focused top-level
 * window of the test's own thread that records every WM_CHAR it receives,
 * with the time it came, and every key press; and the bursts it received.
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
        double ms;       /* NowMs when dispatched */
        DWORD posted;    /* GetMessageTime: when the sender posted it */
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
    /* A key press as the window saw it, with Ctrl or Alt down then. */
    struct Key {
        WPARAM vk;
        LPARAM lParam;   /* scan code in bits 16-23, extended in bit 24 */
        bool modified;
    };
    const std::vector<Char> &chars() const { return chars_; }
    const std::vector<Key> &keys() const { return keys_; }
    std::string Text() const;     /* the wParam values as bytes */
    void Clear() { chars_.clear(); keys_.clear(); }
    /* Milliseconds each message's handling takes (a slow target). */
    void SetSlowness(DWORD ms) { slowMs_ = ms; }

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_;
    std::vector<Char> chars_;
    std::vector<Key> keys_;
    DWORD slowMs_ = 0;
};

/* The focus window of a thread's input (shared with the threads attached
   to it); (HWND)-1 when the thread cannot be asked. */
HWND ThreadFocus(DWORD threadId);

/* A run of characters with no gap of more than a given span inside it. */
struct Burst {
    std::string text;
    double firstMs, lastMs;   /* its first and last character, on the clock it was split by */
    double gapBeforeMs;       /* from the previous burst's last character; 0 for the first */
};

/* Which of a character's times bursts are told apart by: when the test
   thread dispatched it, or when the sender posted it (free of the test
   thread's own stalls). */
enum class BurstClock { Dispatched, Posted };

/* Groups a recorded character stream into bursts: a new burst starts where
   two consecutive characters are more than `gapMs` apart on `clock`. */
std::vector<Burst> FindBursts(const std::vector<TargetWindow::Char> &chars, double gapMs,
                              BurstClock clock = BurstClock::Dispatched);

}  // namespace testbed

#endif
