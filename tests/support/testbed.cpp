#include "support/testbed.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "settings/settings.h"

namespace testbed {

std::string PartnerName(int port)
{
    /* Names from COM10 on are device names only in the \\.\ form. */
    char name[16];
    snprintf(name, sizeof name, "\\\\.\\COM%d", port + 10);
    return name;
}

HANDLE OpenPartner(int port, DWORD writeTimeoutMs)
{
    HANDLE handle = CreateFileA(PartnerName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 38400;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(handle, &dcb);
    COMMTIMEOUTS timeouts = {};
    timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
    SetCommTimeouts(handle, &timeouts);
    return handle;
}

PartnerPort::PartnerPort(int port) : handle_(OpenPartner(port, 5000))
{
}

PartnerPort::~PartnerPort()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

bool PartnerPort::Write(const void *data, size_t size)
{
    const BYTE *p = static_cast<const BYTE *>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle_, p, (DWORD)size, &written, nullptr) || written == 0)
            return false;
        p += written;
        size -= written;
    }
    return true;
}

bool PartnerPort::WritePaced(const std::vector<BYTE> &data, DWORD bytesPerSecond)
{
    const size_t chunk = bytesPerSecond / 50 > 0 ? bytesPerSecond / 50 : 1;  /* 20 ms worth */
    double start = NowMs();
    size_t sent = 0;
    while (sent < data.size()) {
        size_t n = data.size() - sent < chunk ? data.size() - sent : chunk;
        if (!Write(data.data() + sent, n))
            return false;
        sent += n;
        double due = start + 1000.0 * (double)sent / bytesPerSecond;
        double now = NowMs();
        if (due > now)
            Sleep((DWORD)(due - now));
    }
    return true;
}

static const char kTargetClass[] = "TavrinTestTarget";

LRESULT CALLBACK TargetWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    TargetWindow *self = reinterpret_cast<TargetWindow *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == WM_CHAR && self) {
        self->chars_.push_back({wParam, lParam, GetTickCount()});
        if (self->slowMs_)
            Sleep(self->slowMs_);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

TargetWindow::TargetWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = kTargetClass;
    RegisterClassA(&wc);  /* fails harmlessly when already registered */
    hwnd_ = CreateWindowExA(0, kTargetClass, "Tavrin test target", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                            100, 100, 300, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    TakeFocus();
}

TargetWindow::~TargetWindow()
{
    if (hwnd_)
        DestroyWindow(hwnd_);
    /* Drop anything still queued for the window. */
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

bool TargetWindow::TakeFocus()
{
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
    SetFocus(hwnd_);
    Pump(50);
    return GetForegroundWindow() == hwnd_ && GetFocus() == hwnd_;
}

bool TargetWindow::WaitForChars(size_t count, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (chars_.size() < count) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed < 10 ? timeoutMs - elapsed : 10,
                                  QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return true;
}

void TargetWindow::Pump(DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

std::string TargetWindow::Text() const
{
    std::string text;
    for (const Char &c : chars_)
        text.push_back((char)(BYTE)c.wParam);
    return text;
}

std::vector<std::string> SplitBursts(const std::vector<TargetWindow::Char> &chars, DWORD gapMs)
{
    std::vector<std::string> bursts;
    for (size_t i = 0; i < chars.size(); i++) {
        if (i == 0 || chars[i].tick - chars[i - 1].tick > gapMs)
            bursts.emplace_back();
        bursts.back().push_back((char)(BYTE)chars[i].wParam);
    }
    return bursts;
}

TavrinProcess::~TavrinProcess()
{
    if (pi_.hProcess) {
        if (IsRunning())
            Kill();
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
    }
}

const char *TavrinExePath()
{
    const char *chosen = getenv("TAVRIN_EXE");
    return chosen && *chosen ? chosen : TAVRIN_EXE_PATH;
}

std::string ScreenshotDir()
{
    /* The build directory is a Unix path; Wine reaches it through Z:. */
    std::string dir = TAVRIN_BINARY_DIR;
    if (!dir.empty() && dir[0] == '/')
        dir = "Z:" + dir;
    dir += "/screenshots";
    CreateDirectoryA(dir.c_str(), nullptr);
    if (TavrinExePath() != std::string(TAVRIN_EXE_PATH)) {
        dir += "/shipped";
        CreateDirectoryA(dir.c_str(), nullptr);
    }
    return dir + "/";
}

bool TavrinProcess::Start()
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", TavrinExePath());
    return CreateProcessA(TavrinExePath(), commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &si, &pi_) != 0;
}

struct FindData {
    DWORD pid;
    HWND found;
};

static BOOL CALLBACK FindProc(HWND hwnd, LPARAM lParam)
{
    FindData *data = reinterpret_cast<FindData *>(lParam);
    char cls[64];
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == data->pid && GetClassNameA(hwnd, cls, sizeof cls) && lstrcmpA(cls, kWindowClassName) == 0) {
        data->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindTavrinWindow(DWORD pid)
{
    FindData data = {pid, nullptr};
    EnumWindows(FindProc, reinterpret_cast<LPARAM>(&data));
    return data.found;
}

bool TavrinProcess::WaitForWindow(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        window_ = FindTavrinWindow(pi_.dwProcessId);
        if (window_)
            return true;
        if (!IsRunning())
            return false;
        Sleep(20);
    }
    return false;
}

bool TavrinProcess::WaitForExit(DWORD timeoutMs, DWORD *exitCode)
{
    if (WaitForSingleObject(pi_.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(pi_.hProcess, exitCode);
    return true;
}

bool TavrinProcess::IsRunning() const
{
    return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT;
}

void TavrinProcess::Kill()
{
    TerminateProcess(pi_.hProcess, 1);
    WaitForSingleObject(pi_.hProcess, 5000);
}

void DeleteSettingsKey()
{
    RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
}

bool SettingsKeyExists()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void SetSettingRaw(const char *name, DWORD type, const void *data, DWORD size)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
}

void SetSettingDword(const char *name, DWORD value)
{
    SetSettingRaw(name, REG_DWORD, &value, sizeof value);
}

bool GetSettingDword(const char *name, DWORD *value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = sizeof *value;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof *value;
}

double NowMs()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * (double)now.QuadPart / (double)frequency.QuadPart;
}

}  // namespace testbed
