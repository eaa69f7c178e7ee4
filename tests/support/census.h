/*
 * The program seen from outside, as a task manager sees it, for the
 * readiness wait in program.cpp, the robustness tests that count its
 * threads and handles, and the benchmark.
 */
#ifndef TAVRIN_TESTS_CENSUS_H
#define TAVRIN_TESTS_CENSUS_H

#include <windows.h>

#include <string>
#include <vector>

namespace testbed {

/* The program's threads told apart by where they started: its main
   thread, its reader workers (started in the program's own image, at
   another address than the main thread), and threads of the system, which
   start elsewhere (Wine runs each wait for a serial event on a thread of
   its own that lives for a moment). */
struct ThreadCensus {
    int total = 0;    /* -1 if the threads could not be listed */
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

/* Threads and handles a process keeps, each the least of ten readings
   spread over a second: a thread or handle the system holds for a moment
   (Wine runs each wait for a serial event on a short-lived thread) does
   not count, anything kept does. Taken once two such seconds in a row
   agree; if they do not within `timeoutMs`, the last second's, saying so. */
struct ProcessCounts {
    int threads;
    int handles;
};
ProcessCounts SettledCounts(DWORD pid, HANDLE process, DWORD timeoutMs);

/* What the system's process list (the one task managers read) says of a
   process. Under Wine this list answers for another process where the
   per-process calls do not: GetProcessHandleCount gives 0, and
   GetProcessTimes the caller's own times. */
struct ProcessFigures {
    bool found = false;          /* the process is in the list */
    int threads = 0;
    int handles = 0;
    double privateKiB = 0;       /* private committed bytes */
};
ProcessFigures ReadProcessFigures(DWORD pid);

/* Top-level windows of a process with a given class ("#32770" dialogs,
   "#32768" menus), in z-order; only the visible ones if `visibleOnly`. */
std::vector<HWND> ProcessWindows(DWORD pid, const char *className, bool visibleOnly = false);

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
