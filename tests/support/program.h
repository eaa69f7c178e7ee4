/*
 * The program under test as a process of its own: starting it with given
 * settings, finding its hidden window, commanding it, closing it and
 * reading its exit code, and what can be seen of it from outside (its
 * threads, handles and top-level windows, and whether it answers).
 *
 * Used by the end-to-end tests in app/, settings/ and release/, by the
 * robustness tests and by the benchmark.
 */
#ifndef TAVRIN_TESTS_PROGRAM_H
#define TAVRIN_TESTS_PROGRAM_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cable.h"
#include "support/screen.h"
#include "support/target.h"

namespace testbed {

/* The program under test: $TAVRIN_EXE when set (the 32-bit lane runs the
   shipped build/tavrin.exe so), else the tavrin.exe of this test build. */
const char *TavrinExePath();

/* How long a start of the program may take: the shipped 32-bit program,
   run under emulation beside Notepad, has needed about 2.5 minutes from
   its start to an open port. The wait ends as soon as the program is
   ready, so the bound costs nothing where it starts at once. */
const DWORD kReadyTimeoutMs = 300000;

/* The program is ready when its reader runs, and so its port has been
   opened (or has failed to open: the program tries it before it starts
   the reader), and its main thread takes messages. Its window or its icon
   appear before that. Waits for all of it, bounded; a failure says which
   part did not come, or that the program ended. `window` receives the
   program's hidden window. Bytes written at the very moment the reader
   starts may still fall to its opening purge: a case that must not lose
   one syncs first (SyncReader). */
::testing::AssertionResult WaitForReady(DWORD pid, HANDLE process, DWORD timeoutMs, HWND *window = nullptr);

/* The program under test in a process of its own; killed if it still runs
   when the object goes. */
class TavrinProcess {
public:
    TavrinProcess() = default;
    ~TavrinProcess();
    bool Start();
    /* Waits until it is ready (see WaitForReady) and keeps its window. */
    ::testing::AssertionResult WaitForReady(DWORD timeoutMs = kReadyTimeoutMs);
    HWND window() const { return window_; }
    DWORD pid() const { return pi_.dwProcessId; }
    HANDLE process() const { return pi_.hProcess; }
    /* Waits for the process to end; returns false on time-out. */
    bool WaitForExit(DWORD timeoutMs, DWORD *exitCode);
    bool IsRunning() const;
    void Kill();

private:
    PROCESS_INFORMATION pi_ = {};
    HWND window_ = nullptr;
};

/* Finds the top-level window of class "TavrinWindow" owned by a process. */
HWND FindTavrinWindow(DWORD pid);

/* Stores Port and Baud (see StoreSettings), starts the program, waits
   until it is ready and for its tray icon to show `expected`. Fails the
   current test (with the reason) and returns false if any of it does not
   happen. */
bool StartTavrin(TavrinProcess &process, int port, int speed, TrayState expected);

/* How long a reader may take to deliver what was written to its port: an
   emulated 32-bit program needs seconds for what takes a native one a
   few hundred milliseconds. Waits end as soon as the bytes are there. */
const DWORD kDeliveryTimeoutMs = 30000;

/* Writes a marker byte on the partner port until one reaches the target,
   so that the reader is known to be past its start (which discards what
   came before); then a closing marker, which arrives after every marker
   still on its way, and forgets what the target received. Fails, saying
   which part did not come, within `timeoutMs`. */
::testing::AssertionResult SyncReader(PartnerPort &partner, TargetWindow &target,
                                      DWORD timeoutMs = kDeliveryTimeoutMs);

/* Writes `text` on the partner port and pumps the target's messages until
   as many characters have arrived (kDeliveryTimeoutMs at the most), then
   `settleMs` longer, so that anything extra shows as well. Fails if the
   write failed or the characters did not come. */
::testing::AssertionResult SendAndSettle(PartnerPort &partner, TargetWindow &target, const std::string &text,
                                         DWORD settleMs);

/* Posts "Close" to the program and waits for it to end. */
bool CloseProgram(HWND mainWindow, HANDLE process, DWORD timeoutMs, DWORD *exitCode);

/* The base of the end-to-end tests that start the program on a settings
   key of their own making: the key is deleted before and after each test. */
class ProgramTest : public ::testing::Test {
protected:
    static const DWORD kExitTimeoutMs = 8000;

    void SetUp() override;
    void TearDown() override;
    /* Starts the program and waits until it is ready. */
    static void Start(TavrinProcess &program);
    /* Waits for the program to end and expects exit code 0. */
    static void ExpectOrderlyExit(TavrinProcess &program);
    /* Expects Port and Baud stored as 4-byte DWORDs with these values. */
    static void ExpectStored(DWORD port, DWORD speed);
};

/* ---- Another process seen from outside ---- */

/* Threads of a process, from a toolhelp snapshot; -1 if it failed. */
int CountThreads(DWORD pid);

/* The program's threads told apart by where they started: its main
   thread, its reader workers (started in the program's own image, at
   another address than the main thread), and threads of the system, which
   start elsewhere (Wine runs each wait for a serial event on a thread of
   its own that lives for a moment). */
struct ThreadCensus {
    int total = -1;
    int readers = 0;
    int system = 0;   /* started outside the image, or gone before asked */
};

class ThreadWatcher {
public:
    explicit ThreadWatcher(DWORD pid);
    ~ThreadWatcher();
    ThreadWatcher(const ThreadWatcher &) = delete;
    ThreadWatcher &operator=(const ThreadWatcher &) = delete;

    /* Whether the program's image was found: without it no thread can be
       told to be a reader. */
    bool KnowsImage() const { return imageStart_ != 0; }

    /* One reading. Every reader seen is remembered, with a handle kept
       open so that its start and end can be read after it is gone. */
    ThreadCensus Take();

    /* Reader workers seen so far. */
    size_t ReadersSeen() const { return readers_.size(); }
    /* Empty when no reader started before the one before it had ended,
       judged by the times the system recorded; else the first overlap. */
    std::string ReaderOverlap() const;
    /* When the newest reader seen ended, as a FILETIME value; 0 if it
       still runs or none was seen. */
    ULONGLONG NewestReaderEnd() const;

private:
    struct Reader {
        DWORD id;
        HANDLE handle;
        ULONGLONG created;
    };
    DWORD pid_;
    ULONG_PTR imageStart_ = 0, imageEnd_ = 0;
    ULONG_PTR mainStart_ = 0;
    std::vector<Reader> readers_;
};

/* Handles of a process, as the system counts them; -1 if it failed. */
int CountHandles(DWORD pid, HANDLE process);

/* What the system's process list (the one task managers read) says of a
   process. Under Wine this list answers for another process where the
   per-process calls do not: GetProcessHandleCount gives 0, and
   GetProcessTimes the caller's own times. */
struct ProcessFigures {
    bool found = false;          /* the process is in the list */
    double cpuMs = 0;            /* user + kernel time */
    int threads = 0;
    int handles = 0;
    double workingSetKiB = 0;
    double privateKiB = 0;       /* private committed bytes */
};
ProcessFigures ReadProcessFigures(DWORD pid);

/* Top-level windows of a process with a given class ("#32770" dialogs,
   "#32768" menus), in z-order. */
std::vector<HWND> ProcessWindows(DWORD pid, const char *className);

/* Waits for a visible top-level window of a process with a given class
   (a shown menu, a dialog) and returns the first in z-order; null when
   none came within `timeoutMs`. */
HWND WaitForVisibleWindow(DWORD pid, const char *className, DWORD timeoutMs);

/* Whether the window's thread answers a message within the time. A sent
   message is handled before the posted ones waiting in the queue, so the
   answer says nothing about messages posted to the window before it. */
bool Responds(HWND window, DWORD timeoutMs);

}  // namespace testbed

#endif
