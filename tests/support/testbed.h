/*
 * Helpers for Tavrin's tests: the partner ends of the null-modem cables,
 * a focused target window that records the characters it is sent, the
 * program under test as a separate process, and the settings key.
 *
 * Port map of the test bed (scripts/lib/testbed.sh): COM1..COM3 are wired
 * to COM11..COM13; COM4 does not exist.
 */
#ifndef TAVRIN_TESTS_TESTBED_H
#define TAVRIN_TESTS_TESTBED_H

#include <windows.h>

#include <string>
#include <vector>

namespace testbed {

/* "\\.\COM11" for port 1, and so on. */
std::string PartnerName(int port);

/* Opens a partner end for writing, 38400 8N1, with the given write
   time-out; INVALID_HANDLE_VALUE if it does not open. */
HANDLE OpenPartner(int port, DWORD writeTimeoutMs);

/* The partner end of a cable, opened for writing. */
class PartnerPort {
public:
    explicit PartnerPort(int port);
    ~PartnerPort();
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    /* Writes all bytes; returns false if the device refused. */
    bool Write(const void *data, size_t size);
    bool Write(const std::string &text) { return Write(text.data(), text.size()); }
    /* Writes at a given line rate, in chunks, so that no gap of 100 ms
       or more opens between them. */
    bool WritePaced(const std::vector<BYTE> &data, DWORD bytesPerSecond);

private:
    HANDLE handle_;
};

/* A visible, foreground, focused top-level window owned by the calling
   thread, recording every WM_CHAR it receives with the time it came. */
class TargetWindow {
public:
    struct Char {
        WPARAM wParam;
        LPARAM lParam;
        DWORD tick;      /* GetTickCount when dispatched */
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

/* The program under test: $TAVRIN_EXE when set (the 32-bit lane runs the
   shipped build/tavrin.exe so), else the tavrin.exe of this test build. */
const char *TavrinExePath();

/* Where tests leave their pictures, with a trailing '/', created if need
   be: <build dir>/screenshots, and its subfolder shipped/ for a run against
   $TAVRIN_EXE. */
std::string ScreenshotDir();

/* The program under test in a process of its own. */
class TavrinProcess {
public:
    TavrinProcess() = default;
    ~TavrinProcess();
    bool Start();
    /* Waits until its hidden window exists. */
    bool WaitForWindow(DWORD timeoutMs);
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

/* The settings key under HKEY_CURRENT_USER. */
void DeleteSettingsKey();
bool SettingsKeyExists();
void SetSettingDword(const char *name, DWORD value);
void SetSettingRaw(const char *name, DWORD type, const void *data, DWORD size);
/* Returns false when the value is missing or not a 4-byte REG_DWORD. */
bool GetSettingDword(const char *name, DWORD *value);

/* Milliseconds since an arbitrary start, with sub-millisecond resolution. */
double NowMs();

}  // namespace testbed

#endif
