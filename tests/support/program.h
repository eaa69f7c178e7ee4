/*
 * Processes the tests start (Process), above all the program under test,
 * for the end-to-end tests, the robustness tests, the installer's, the
 * tools and the benchmark: starting it with given settings, knowing its
 * reader reads, sending it scans, and closing it.
 */
#ifndef TAVRIN_TESTS_PROGRAM_H
#define TAVRIN_TESTS_PROGRAM_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/cable.h"
#include "support/registry.h"
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
   one syncs first (SyncReader). With `noPortWillDo`, the no-port icon
   stands for the reader: a reader started on a device that refuses to be
   set up ends at its first wait, sooner than anyone outside sees it. */
::testing::AssertionResult WaitForReady(DWORD pid, HANDLE process, DWORD timeoutMs, HWND *window = nullptr,
                                        bool noPortWillDo = false);

/* A process started here, in a job of its own that every process it
   starts joins too (the uninstaller hands its work to a copy of itself).
   Whatever still runs in the job is ended when the object goes, or when
   this program dies: the job goes with its last handle. Under Wine ending
   only the first process could leave a child suspended for good (see
   "Starting a process" in docs/wine-and-windows.md). */
class Process {
public:
    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process();
    /* False (with GetLastError) if the command cannot start. `flags` go
       to CreateProcess (CREATE_NEW_CONSOLE, say). */
    bool Start(const std::string &commandLine, DWORD flags = 0);
    /* The exit code once it has ended within the time, else -1. */
    long Wait(DWORD timeoutMs);
    /* Whether it and every process it started have ended. */
    bool AllEnded() const;
    bool IsRunning() const;
    /* Ends it and whatever it started. */
    void Kill();
    DWORD pid() const { return pi_.dwProcessId; }
    HANDLE process() const { return pi_.hProcess; }

private:
    HANDLE job_ = nullptr;
    PROCESS_INFORMATION pi_ = {};
};

/* The program under test, started with no arguments. */
class TavrinProcess : public Process {
public:
    /* Only creates the process; StartTavrin also waits for it. */
    bool Start();
    /* Waits until it is ready (see WaitForReady) and keeps its window. */
    ::testing::AssertionResult WaitForReady(DWORD timeoutMs = kReadyTimeoutMs);
    HWND window() const { return window_; }

private:
    HWND window_ = nullptr;
};

/* The hidden window (class "TavrinWindow") of a process, or of any
   process when `pid` is 0. */
HWND FindTavrinWindow(DWORD pid);

/* The one way to start the program: starts it on the settings key as it
   stands and waits until it is ready (see WaitForReady). The second form
   first stores Port and Baud (see StoreSettings) and then also waits for
   the tray icon to show `expected`. A failure says what did not happen. */
::testing::AssertionResult StartTavrin(TavrinProcess &process);
::testing::AssertionResult StartTavrin(TavrinProcess &process, int port, int speed, TrayState expected);

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

/* Sends `scan` on the partner of `port`, into a target window of its
   own, once the reader is known to read it (SyncReader, bounded by
   `syncMs`), and waits for it and a while longer (SendAndSettle); fails
   unless exactly `scan` arrived. */
::testing::AssertionResult ScanArrives(int port, const std::string &scan, DWORD syncMs = kDeliveryTimeoutMs);

/* Sends `text` on the partner of `port` and pumps a target window of its
   own for a span well over a reader's pass (absence is only seen over
   time); fails if anything arrived. */
::testing::AssertionResult NothingArrives(int port, const std::string &text);

/* Posts "Close" to the program and waits for it to end. */
bool CloseProgram(HWND mainWindow, HANDLE process, DWORD timeoutMs);

}  // namespace testbed

#endif
