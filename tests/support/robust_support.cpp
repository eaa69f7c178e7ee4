#include "support/robust_support.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "resource.h"

namespace robust {

/* ---- The notification area ---- */

/* The taskbar is the bottom 20 rows of the 1024x768 virtual desktop; the
   tray's icons are drawn at its right end, right to left. The task
   buttons start at the left end and stay clear of this strip. */
static const int kTrayWidth = 200;
static const int kTrayHeight = 20;
/* Icons are 16 pixels wide with a few pixels between them. */
static const int kIconGap = 3;

std::string TrayView::Describe() const
{
    char text[128];
    snprintf(text, sizeof text, "{icons %d, black %d, red %d, yellow %d%s}", icons, black, red, yellow,
             ok ? "" : ", screen not read");
    return text;
}

TrayView ReadTray()
{
    TrayView view;
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    if (width < kTrayWidth || height < kTrayHeight)
        return view;

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kTrayWidth;
    info.bmiHeader.biHeight = -kTrayHeight; /* top-down rows */
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, kTrayWidth, kTrayHeight, screen, width - kTrayWidth, height - kTrayHeight,
                   SRCCOPY)) {
            GdiFlush();
            view.ok = true;
            const DWORD *pixels = static_cast<const DWORD *>(bits);
            std::vector<bool> column(kTrayWidth, false);
            for (int y = 0; y < kTrayHeight; y++) {
                for (int x = 0; x < kTrayWidth; x++) {
                    DWORD p = pixels[y * kTrayWidth + x];
                    int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
                    bool hit = true;
                    if (r < 60 && g < 60 && b < 60)
                        view.black++;
                    else if (r >= 200 && g < 60 && b < 60)
                        view.red++;
                    else if (r >= 200 && g >= 200 && b < 60)
                        view.yellow++;
                    else
                        hit = false;
                    if (hit)
                        column[x] = true;
                }
            }
            int gap = kIconGap;
            for (int x = 0; x < kTrayWidth; x++) {
                if (column[x]) {
                    if (gap >= kIconGap)
                        view.icons++;
                    gap = 0;
                } else {
                    gap++;
                }
            }
        }
        SelectObject(memory, old);
    }
    if (bitmap)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return view;
}

const char *TrayStateName(TrayState state)
{
    switch (state) {
    case TrayState::Ready:
        return "ready";
    case TrayState::NoPort:
        return "no-port";
    case TrayState::Active:
        return "active";
    case TrayState::Empty:
        return "no icon";
    }
    return "?";
}

bool Shows(const TrayView &view, TrayState state)
{
    switch (state) {
    case TrayState::Ready:
        return view.Ready();
    case TrayState::NoPort:
        return view.NoPort();
    case TrayState::Active:
        return view.Active();
    case TrayState::Empty:
        return view.Empty();
    }
    return false;
}

TrayView WaitForTray(TrayState state, DWORD timeoutMs, bool *reached)
{
    DWORD start = GetTickCount();
    TrayView view;
    for (;;) {
        view = ReadTray();
        if (Shows(view, state)) {
            if (reached)
                *reached = true;
            return view;
        }
        if (GetTickCount() - start >= timeoutMs)
            break;
        Sleep(25);
    }
    if (reached)
        *reached = false;
    return view;
}

/* ---- Another process seen from outside ---- */

int CountThreads(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == pid)
                count++;
            entry.dwSize = sizeof entry;
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}

typedef NTSTATUS(NTAPI *QueryThreadFn)(HANDLE, THREADINFOCLASS, PVOID, ULONG, PULONG);
static const THREADINFOCLASS kThreadStartAddress = (THREADINFOCLASS)9; /* ThreadQuerySetWin32StartAddress */

static ULONGLONG FileTimeValue(const FILETIME &time)
{
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

/* Where a thread started (its Win32 start address) and when it was
   created; false if it cannot be asked (it is gone). */
static bool AskThread(HANDLE thread, ULONG_PTR *start, ULONGLONG *created)
{
    static auto query = (QueryThreadFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                              "NtQueryInformationThread");
    FILETIME creation, exit, kernel, user;
    *start = 0;
    if (!query || query(thread, kThreadStartAddress, start, sizeof *start, nullptr) != 0)
        return false;
    if (!GetThreadTimes(thread, &creation, &exit, &kernel, &user))
        return false;
    *created = FileTimeValue(creation);
    return true;
}

ThreadWatcher::ThreadWatcher(DWORD pid) : pid_(pid)
{
    /* The program's own image: it starts at its window's instance handle
       (a module snapshot, which Wine cannot take of a 32-bit process from
       a 64-bit one, is not needed), and its size is in its PE header. */
    HWND window = testbed::FindTavrinWindow(pid);
    ULONG_PTR base = window ? (ULONG_PTR)GetWindowLongPtrA(window, GWLP_HINSTANCE) : 0;
    HANDLE process = base ? OpenProcess(PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, pid) : nullptr;
    if (process) {
        IMAGE_DOS_HEADER dos = {};
        DWORD sizeOfImage = 0;
        SIZE_T got = 0;
        /* SizeOfImage sits at the same offset in the 32- and 64-bit forms. */
        const SIZE_T sizeOffset = offsetof(IMAGE_NT_HEADERS32, OptionalHeader.SizeOfImage);
        if (ReadProcessMemory(process, (LPCVOID)base, &dos, sizeof dos, &got) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
            ReadProcessMemory(process, (LPCVOID)(base + dos.e_lfanew + sizeOffset), &sizeOfImage,
                              sizeof sizeOfImage, &got)) {
            imageStart_ = base;
            imageEnd_ = base + sizeOfImage;
        }
        CloseHandle(process);
    }
    /* The main thread is the oldest. */
    HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (threads == INVALID_HANDLE_VALUE)
        return;
    ULONGLONG oldest = ~0ull;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    if (Thread32First(threads, &entry)) {
        do {
            if (entry.th32OwnerProcessID == pid) {
                HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
                ULONG_PTR start;
                ULONGLONG created;
                if (thread && AskThread(thread, &start, &created) && created < oldest) {
                    oldest = created;
                    mainStart_ = start;
                }
                if (thread)
                    CloseHandle(thread);
            }
            entry.dwSize = sizeof entry;
        } while (Thread32Next(threads, &entry));
    }
    CloseHandle(threads);
}

ThreadWatcher::~ThreadWatcher()
{
    for (const Reader &reader : readers_)
        CloseHandle(reader.handle);
}

ThreadCensus ThreadWatcher::Take()
{
    ThreadCensus census;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return census;
    census.total = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == pid_) {
                census.total++;
                HANDLE thread =
                    OpenThread(THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ThreadID);
                ULONG_PTR start = 0;
                ULONGLONG created = 0;
                bool known = thread && AskThread(thread, &start, &created);
                bool inImage = known && imageStart_ != 0 && start >= imageStart_ && start < imageEnd_;
                bool kept = false;
                if (inImage && start != mainStart_) {
                    census.readers++;
                    bool seen = false;
                    for (const Reader &reader : readers_)
                        seen = seen || (reader.id == entry.th32ThreadID && reader.created == created);
                    if (!seen) {
                        readers_.push_back({entry.th32ThreadID, thread, created});
                        kept = true;
                    }
                } else if (!inImage) {
                    census.system++;
                }
                if (thread && !kept)
                    CloseHandle(thread);
            }
            entry.dwSize = sizeof entry;
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return census;
}

std::string ThreadWatcher::ReaderOverlap() const
{
    std::vector<Reader> ordered = readers_;
    std::sort(ordered.begin(), ordered.end(),
              [](const Reader &a, const Reader &b) { return a.created < b.created; });
    for (size_t i = 1; i < ordered.size(); i++) {
        FILETIME creation, exit, kernel, user;
        if (!GetThreadTimes(ordered[i - 1].handle, &creation, &exit, &kernel, &user))
            return "cannot read the times of reader " + std::to_string(i);
        ULONGLONG ended = FileTimeValue(exit);
        bool running = WaitForSingleObject(ordered[i - 1].handle, 0) == WAIT_TIMEOUT;
        if (running || ended > ordered[i].created) {
            char text[200];
            snprintf(text, sizeof text, "reader %zu of %zu (thread %lu) started %s reader %zu (thread %lu) had ended%s",
                     i + 1, ordered.size(), (unsigned long)ordered[i].id, "before", i,
                     (unsigned long)ordered[i - 1].id, running ? " (it still runs)" : "");
            if (!running) {
                size_t n = strlen(text);
                snprintf(text + n, sizeof text - n, ", by %.3f ms",
                         (double)(ended - ordered[i].created) / 10000.0);
            }
            return text;
        }
    }
    return std::string();
}

ULONGLONG ThreadWatcher::NewestReaderEnd() const
{
    const Reader *newest = nullptr;
    for (const Reader &reader : readers_) {
        if (!newest || reader.created > newest->created)
            newest = &reader;
    }
    if (!newest || WaitForSingleObject(newest->handle, 0) != WAIT_OBJECT_0)
        return 0;
    FILETIME creation, exit, kernel, user;
    if (!GetThreadTimes(newest->handle, &creation, &exit, &kernel, &user))
        return 0;
    return FileTimeValue(exit);
}

ULONGLONG FileTimeNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeValue(now);
}

typedef NTSTATUS(NTAPI *QuerySystemInformationFn)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);

int CountHandles(DWORD pid, HANDLE process)
{
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count > 0)
        return (int)count;

    /* Wine 8 answers GetProcessHandleCount with 0; the process list that
       task managers read carries the count the system keeps. */
    auto query = (QuerySystemInformationFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                                 "NtQuerySystemInformation");
    if (!query)
        return -1;
    std::vector<BYTE> buffer(256 * 1024);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = query(SystemProcessInformation, buffer.data(), (ULONG)buffer.size(), &needed)) ==
               (NTSTATUS)0xC0000004L /* STATUS_INFO_LENGTH_MISMATCH */
           && buffer.size() < 64 * 1024 * 1024)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return -1;
    const BYTE *at = buffer.data();
    for (;;) {
        const SYSTEM_PROCESS_INFORMATION *entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION *>(at);
        if ((DWORD)(ULONG_PTR)entry->UniqueProcessId == pid)
            return (int)entry->HandleCount;
        if (!entry->NextEntryOffset)
            return -1;
        at += entry->NextEntryOffset;
    }
}

struct WindowQuery {
    DWORD pid;
    const char *className;
    std::vector<HWND> found;
};

static BOOL CALLBACK CollectWindow(HWND window, LPARAM lParam)
{
    WindowQuery *query = reinterpret_cast<WindowQuery *>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char name[64];
    if (pid == query->pid && GetClassNameA(window, name, sizeof name) && lstrcmpA(name, query->className) == 0)
        query->found.push_back(window);
    return TRUE;
}

std::vector<HWND> ProcessWindows(DWORD pid, const char *className)
{
    WindowQuery query = {pid, className, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

bool Responds(HWND window, DWORD timeoutMs)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0;
}

/* ---- The settings dialog ---- */

static HWND FindSettingsDialog(DWORD pid)
{
    for (HWND dialog : ProcessWindows(pid, "#32770")) {
        if (IsWindowVisible(dialog) && GetDlgItem(dialog, IDC_SPEED))
            return dialog;
    }
    return nullptr;
}

HWND OpenSettingsDialog(HWND mainWindow, DWORD pid, DWORD timeoutMs)
{
    PostMessageA(mainWindow, WM_COMMAND, IDM_SETTINGS, 0);
    DWORD start = GetTickCount();
    do {
        HWND dialog = FindSettingsDialog(pid);
        if (dialog)
            return dialog;
        Sleep(10);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

DialogChoice ReadSettingsDialog(HWND dialog)
{
    DialogChoice choice;
    for (int port = 1; port <= 4; port++) {
        if (IsDlgButtonChecked(dialog, IDC_COM1 + port - 1) == BST_CHECKED)
            choice.port = port;
    }
    DWORD_PTR selection = (DWORD_PTR)CB_ERR;
    SendMessageTimeoutA(GetDlgItem(dialog, IDC_SPEED), CB_GETCURSEL, 0, 0, SMTO_NORMAL, 2000, &selection);
    choice.speed = (int)(LRESULT)selection;
    return choice;
}

static bool WaitForWindowGone(HWND window, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

bool ChooseInSettingsDialog(HWND dialog, int port, int speed, DWORD timeoutMs)
{
    DWORD_PTR result;
    if (port >= 1 && port <= 4)
        SendMessageTimeoutA(GetDlgItem(dialog, IDC_COM1 + port - 1), BM_CLICK, 0, 0, SMTO_NORMAL, 2000, &result);
    if (speed >= 0)
        SendMessageTimeoutA(GetDlgItem(dialog, IDC_SPEED), CB_SETCURSEL, (WPARAM)speed, 0, SMTO_NORMAL, 2000,
                            &result);
    /* Posted, as a click would arrive: applying a change stops the reader,
       which may take up to a second. */
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
    return WaitForWindowGone(dialog, timeoutMs);
}

bool CancelDialog(HWND dialog, DWORD timeoutMs)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDCANCEL));
    return WaitForWindowGone(dialog, timeoutMs);
}

bool ChangeSettings(HWND mainWindow, DWORD pid, int port, int speed, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    HWND dialog = OpenSettingsDialog(mainWindow, pid, timeoutMs);
    if (!dialog)
        return false;
    DWORD spent = GetTickCount() - start;
    return ChooseInSettingsDialog(dialog, port, speed, spent < timeoutMs ? timeoutMs - spent : 1);
}

bool CloseProgram(HWND mainWindow, HANDLE process, DWORD timeoutMs, DWORD *exitCode)
{
    PostMessageA(mainWindow, WM_COMMAND, IDM_CLOSE, 0);
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process, exitCode);
    return true;
}

/* ---- The program under test ---- */

bool StartTavrin(testbed::TavrinProcess &process, int port, int speed, TrayState expected)
{
    testbed::DeleteSettingsKey();
    if (port)
        testbed::SetSettingDword("Port", (DWORD)port);
    if (speed >= 0)
        testbed::SetSettingDword("Baud", (DWORD)speed);
    if (!process.Start()) {
        ADD_FAILURE() << "could not start " << testbed::TavrinExePath() << ", error " << GetLastError();
        return false;
    }
    if (!process.WaitForWindow(10000)) {
        ADD_FAILURE() << "the program's hidden window did not appear within 10 s";
        return false;
    }
    bool reached = false;
    TrayView view = WaitForTray(expected, 5000, &reached);
    if (!reached) {
        ADD_FAILURE() << "expected the " << TrayStateName(expected) << " icon after start-up, tray shows "
                      << view.Describe();
        return false;
    }
    return true;
}

bool SyncReader(testbed::PartnerPort &partner, testbed::TargetWindow &target, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    bool received = false;
    while (!received && GetTickCount() - start < timeoutMs) {
        /* A dialog of the program that just closed may hand the
           activation back to the program's own window. */
        if (GetForegroundWindow() != target.hwnd())
            target.TakeFocus();
        partner.Write("~", 1);
        received = target.WaitForChars(target.chars().size() + 1, 400);
    }
    if (!received)
        return false;
    /* Let every marker still on its way arrive, then forget them all. */
    size_t seen;
    do {
        seen = target.chars().size();
        target.Pump(300);
    } while (target.chars().size() != seen);
    target.Clear();
    return true;
}

PatientWriter::PatientWriter(int port) : handle_(testbed::OpenPartner(port, 500))
{
}

PatientWriter::~PatientWriter()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

bool PatientWriter::Write(const BYTE *data, size_t size, DWORD stallMs)
{
    DWORD lastProgress = GetTickCount();
    while (size > 0) {
        DWORD written = 0;
        BOOL ok = WriteFile(handle_, data, (DWORD)size, &written, nullptr);
        if (written > 0) {
            data += written;
            size -= written;
            lastProgress = GetTickCount();
        }
        if (size == 0)
            break;
        /* A time-out, with or without part of the data gone: the cable
           is full. Anything else is a real failure. */
        if (!ok && GetLastError() != ERROR_TIMEOUT && GetLastError() != WAIT_TIMEOUT)
            return false;
        waits_++;
        if (GetTickCount() - lastProgress >= stallMs)
            return false;
    }
    return true;
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

/* ---- Byte streams ---- */

uint32_t Random::Next()
{
    /* xorshift32 */
    uint32_t x = state_;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    state_ = x;
    return x;
}

std::vector<BYTE> PatternBytes(size_t count, uint32_t seed)
{
    Random random(seed);
    std::vector<BYTE> bytes(count);
    for (size_t i = 0; i < count; i++)
        bytes[i] = (BYTE)(random.Next() >> 24);
    return bytes;
}

std::string ScanText(uint32_t serial, uint32_t seed)
{
    static const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    Random random(seed ^ (serial * 2654435761u));
    char text[48];
    int n = snprintf(text, sizeof text, "%06u-", (unsigned)serial);
    int extra = 4 + (int)random.Below(12);
    for (int i = 0; i < extra; i++)
        text[n++] = kAlphabet[random.Below(sizeof kAlphabet - 1)];
    text[n++] = '\r';
    return std::string(text, (size_t)n);
}

std::vector<BYTE> ToBytes(const std::string &text)
{
    return std::vector<BYTE>(text.begin(), text.end());
}

std::string CompareStreams(const std::vector<BYTE> &sent, const std::vector<BYTE> &received)
{
    size_t common = sent.size() < received.size() ? sent.size() : received.size();
    size_t i = 0;
    while (i < common && sent[i] == received[i])
        i++;
    if (i == common && sent.size() == received.size())
        return std::string();
    char text[200];
    if (i == common)
        snprintf(text, sizeof text, "sent %zu bytes, received %zu; the first %zu agree", sent.size(),
                 received.size(), common);
    else
        snprintf(text, sizeof text, "sent %zu bytes, received %zu; first difference at byte %zu: sent 0x%02X, got 0x%02X",
                 sent.size(), received.size(), i, sent[i], received[i]);
    return text;
}

bool IsSubsequence(const std::vector<BYTE> &sent, const std::vector<BYTE> &received)
{
    size_t s = 0;
    for (BYTE b : received) {
        while (s < sent.size() && sent[s] != b)
            s++;
        if (s == sent.size())
            return false;
        s++;
    }
    return true;
}

DWORD EnvSeconds(const char *name, DWORD fallback)
{
    char value[32];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    if (n == 0 || n >= sizeof value)
        return fallback;
    long seconds = strtol(value, nullptr, 10);
    return seconds > 0 ? (DWORD)seconds : fallback;
}

}  // namespace robust
