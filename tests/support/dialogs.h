/*
 * Dialogs as tests meet them: read, driven on the test's thread or from
 * another process, and watched with the menus.
 */
#ifndef TAVRIN_TESTS_DIALOGS_H
#define TAVRIN_TESTS_DIALOGS_H

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/timing.h"

namespace testbed {

/* ---- Windows and controls ---------------------------------------------- */

std::string WindowText(HWND window);     /* GetWindowTextA: ANSI code page bytes */
std::string ClassName(HWND window);
/* The direct children in creation order (the template's order). */
std::vector<HWND> Children(HWND dialog);
/* The items of a combo box, read with CB_GETCOUNT / CB_GETLBTEXT. */
std::vector<std::string> ComboItems(HWND combo);
/* Empty when GetACP() is the code page this run is meant to have: the
   program's --code-page=N argument (ctest's cp1252. run passes 1252), else
   1251, the test bed's (Wine under LANG=ru_RU.UTF-8). Else what
   differs: a case that shows the program's texts right in a given code
   page asserts it empty, so that it fails rather than passes in another. */
std::string WrongCodePage();

/* Visible top-level dialog windows (class #32770) of a process or of a
   thread, in z-order. */
std::vector<HWND> DialogsOfProcess(DWORD pid);
std::vector<HWND> DialogsOfThread(DWORD tid);   /* a thread of this process */
/* Waits for the process's first visible dialog; null on time-out. */
HWND WaitForDialog(DWORD pid, DWORD timeoutMs);
/* Waits until the window is hidden or gone (a dialog ended with EndDialog
   is hidden before its owner's loop destroys it). */
bool WaitForWindowHidden(HWND window, DWORD timeoutMs);

/* ---- A modal dialog on the test's thread --------------------------------- */

/*
 * Runs `show`, which is expected to run a modal dialog on this thread, and
 * plays `steps` against that dialog from a thread timer that the dialog's
 * own modal loop dispatches: one step per tick, the first once the dialog
 * is visible. Messages a step posts are handled before the next tick (the
 * timer only fires on an empty queue). When the dialog has not ended
 * `graceMs` after the last step (or never appeared within that time),
 * every dialog of this thread is ended with kAbandoned.
 */
class ModalDriver {
public:
    using Step = std::function<void(HWND dialog)>;
    static const INT_PTR kAbandoned = -77;

    INT_PTR Run(const std::function<INT_PTR()> &show, std::vector<Step> steps, DWORD graceMs = 8000);
    size_t stepsRun() const { return next_; }
    bool abandoned() const { return abandoned_; }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
    void OnTick();

    std::vector<Step> steps_;
    size_t next_ = 0;
    HWND dialog_ = nullptr;
    DWORD lastActivity_ = 0;
    DWORD graceMs_ = 0;
    bool abandoned_ = false;
};

/* ---- A watcher that closes menus and dialogs ------------------------------ */

/*
 * Watches a process's visible menus (#32768) and dialogs (#32770) from a
 * thread of its own: notes each as it first appears and closes it, as a
 * user would, once it has been up for the time given: a menu by Escape, a
 * dialog by its Cancel. Watching the test's own process, it ends the modal
 * loops the test's thread runs, so that a fault shows as a failure and
 * never as a test that hangs.
 */
class ModalWatcher {
public:
    struct Seen {
        HWND window;
        bool isMenu;
        HMENU menu;            /* what a menu window shows (MN_GETHMENU) */
        RECT rect;
        std::wstring caption;  /* a dialog's */
    };
    struct Options {
        DWORD pid = GetCurrentProcessId();
        DWORD menuMs = 0, dialogMs = 0;   /* how long each may stay up */
        HWND owner = nullptr;             /* told WM_CANCELMODE with a menu's Escape */
        /* Runs on the watcher's thread at a window's first sight, before
           it is closed. */
        std::function<void(const Seen &)> onSeen;
        std::function<void()> eachPass;   /* after each look, every 10 ms */
    };

    explicit ModalWatcher(Options options);
    ~ModalWatcher();
    ModalWatcher(const ModalWatcher &) = delete;
    ModalWatcher &operator=(const ModalWatcher &) = delete;
    /* Ends the watching; false if the thread did not end in time. */
    bool Stop(DWORD timeoutMs);

    std::vector<Seen> seen() const;
    int Menus() const { return Count(true); }
    int Dialogs() const { return Count(false); }
    int MostDialogsAtOnce() const;
    bool AnyUp() const;   /* a menu or dialog showed at the last look */

private:
    struct Watched {
        Seen seen;
        DWORD firstSeen, toldAt;
    };
    void Pass();
    /* The record of a window, made at its first sight. */
    Watched *Watch(HWND window, bool isMenu);
    int Count(bool menus) const;

    Options options_;
    mutable std::mutex lock_;
    std::deque<Watched> watched_;
    int mostDialogs_ = 0, up_ = 0;
    std::atomic<bool> stop_{false};
    std::unique_ptr<Background> thread_;
};

/* ---- The settings dialog, driven from another process ------------------- */

/* Posts the menu's settings command to the program's hidden window and
   waits for its dialog; null on time-out. */
HWND OpenSettingsDialog(HWND mainWindow, DWORD pid, DWORD timeoutMs);

/* Expects the open settings dialog to show port button `port` alone
   checked (0: none) and list position `speed` selected (-1: none). */
void ExpectDialogShows(HWND dialog, int port, int speed);

/* Clicks a port button (1..4; 0 leaves the buttons alone) and selects a
   speed (0..8; -1 leaves the list alone), then OK, and waits until the
   dialog has closed. Returns false if it did not close in time. */
bool ChooseInSettingsDialog(HWND dialog, int port, int speed, DWORD timeoutMs);

/* Changes port and speed through the dialog, start to finish. */
bool ChangeSettings(HWND mainWindow, DWORD pid, int port, int speed, DWORD timeoutMs);

}  // namespace testbed

#endif
