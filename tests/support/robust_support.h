/*
 * Helpers for the robustness tests: the program's thread and handle counts read from
 * outside, driving its settings dialog from another process, and byte
 * streams whose order can be checked.
 */
#ifndef TAVRIN_TESTS_ROBUST_SUPPORT_H
#define TAVRIN_TESTS_ROBUST_SUPPORT_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/screen.h"
#include "support/testbed.h"

namespace robust {

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

/* The system time now, as a FILETIME value (comparable with the above). */
ULONGLONG FileTimeNow();

/* Handles of a process, as the system counts them; -1 if it failed. */
int CountHandles(DWORD pid, HANDLE process);

/* Top-level windows of a process with a given class ("#32770" dialogs,
   "#32768" menus). */
std::vector<HWND> ProcessWindows(DWORD pid, const char *className);

/* Whether the window's thread answers a message within the time. */
bool Responds(HWND window, DWORD timeoutMs);

/* ---- The settings dialog, driven from another process ---- */

/* Posts the menu's settings command to the program's hidden window and
   waits for its dialog; null on time-out. */
HWND OpenSettingsDialog(HWND mainWindow, DWORD pid, DWORD timeoutMs);

/* What the open dialog shows: the checked port (0 if none) and the
   selected list position (-1 if none). */
struct DialogChoice {
    int port = 0;
    int speed = -1;
};
DialogChoice ReadSettingsDialog(HWND dialog);

/* Clicks a port button (1..4; 0 leaves the buttons alone) and selects a
   speed (0..8; -1 leaves the list alone), then OK, and waits until the
   dialog has closed. Returns false if it did not close in time. */
bool ChooseInSettingsDialog(HWND dialog, int port, int speed, DWORD timeoutMs);
/* Cancels the dialog and waits until it has closed. */
bool CancelDialog(HWND dialog, DWORD timeoutMs);

/* Changes port and speed through the dialog, start to finish. */
bool ChangeSettings(HWND mainWindow, DWORD pid, int port, int speed, DWORD timeoutMs);

/* Posts "Close" to the program and waits for it to end. */
bool CloseProgram(HWND mainWindow, HANDLE process, DWORD timeoutMs, DWORD *exitCode);

/* ---- Byte streams ---- */

/* Deterministic pseudo-random bytes (every value occurs), from a seed. */
std::vector<BYTE> PatternBytes(size_t count, uint32_t seed);

/* Short scans of digits and capital letters ending in a carriage return,
   from a seed; each scan is unique within the run (it carries a serial). */
std::string ScanText(uint32_t serial, uint32_t seed);

/* The received WM_CHAR values as bytes. */
std::vector<BYTE> ToBytes(const std::string &text);

/* Empty when `received` equals `sent`; otherwise says where they part. */
std::string CompareStreams(const std::vector<BYTE> &sent, const std::vector<BYTE> &received);

/* Whether `received` is `sent` with some bytes left out, in order and
   with nothing added or repeated out of place. */
bool IsSubsequence(const std::vector<BYTE> &sent, const std::vector<BYTE> &received);

/* ---- The program under test ---- */

/* Stores Port and Baud, starts the program and waits for its window and
   for its tray icon to show `expected`. Fails the current test (with the
   reason) and returns false if any of it does not happen. */
bool StartTavrin(testbed::TavrinProcess &process, int port, int speed, testbed::TrayState expected);

/* Writes a marker byte on the partner port until the target receives
   something, so that the program's reader is known to be past its start
   (which discards what came before); then lets the line fall quiet and
   forgets what the target received. */
bool SyncReader(testbed::PartnerPort &partner, testbed::TargetWindow &target, DWORD timeoutMs);

/* The partner end of a cable, for long streams: when the program reads
   more slowly than the line and the cable's buffers are full, a write is
   tried again until nothing at all has moved for `stallMs`. */
class PatientWriter {
public:
    explicit PatientWriter(int port);
    ~PatientWriter();
    PatientWriter(const PatientWriter &) = delete;
    PatientWriter &operator=(const PatientWriter &) = delete;
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool Write(const BYTE *data, size_t size, DWORD stallMs);
    /* Writes that had to wait for room, so far. */
    unsigned Waits() const { return waits_; }

private:
    HANDLE handle_;
    unsigned waits_ = 0;
};

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

/* ---- Small things ---- */

/* A tiny deterministic generator, so that a run can be repeated from the
   seed it prints. */
class Random {
public:
    explicit Random(uint32_t seed) : state_(seed ? seed : 0x9E3779B9u) {}
    uint32_t Next();
    uint32_t Below(uint32_t bound) { return bound ? Next() % bound : 0; }
    bool Chance(uint32_t percent) { return Below(100) < percent; }

private:
    uint32_t state_;
};

/* Seconds a long case runs, from the environment variable `name` if set
   (so that a soak can be shortened or lengthened), else `fallback`. */
DWORD EnvSeconds(const char *name, DWORD fallback);

}  // namespace robust

#endif
