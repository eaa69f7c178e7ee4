/*
 * tavrin_bench: measures the program from outside, as a user's machine
 * sees it. It starts tavrin.exe as a separate process, owns the focused
 * window that receives the characters, writes to the partner end of the
 * null-modem cable (COM12 for the program's COM2) and reads the program's
 * CPU times, threads, handles and memory across the process boundary.
 * One invocation is one run; scripts/bench runs it several times and
 * aggregates the JSON it writes.
 *
 * Phases of a run, all on one program instance except the no-port idle
 * instance:
 *   startup    process start until the hidden window and the tray icon
 *   latency    scans written at random moments; last byte written to
 *              first WM_CHAR of that scan
 *   volume     10 000 scans back to back (footprint after many scans)
 *   flood      1 MB as fast as the cable takes it (throughput, loss);
 *              just before and after it a child process of this program
 *              (--costs) times the single calls the worker makes, on
 *              COM3/COM13 with the program's time-outs
 *   idle       a quiet window, port open and no port (a second instance
 *              started with Port=4); scripts/bench reads the CPU time
 *   trace      a quiet window and a few more scans, for scripts/bench to
 *              count reader passes and place the scans in the worker's
 *              cycle with strace (only with --handshake)
 *   close      "Close" command until the process has exited
 *
 * usage: tavrin_bench --out FILE.json [--scans N] [--volume N]
 *        [--flood BYTES] [--idle SECONDS] [--trace SECONDS]
 *        [--traced-scans N] [--handshake DIR] [--seed N]
 *        tavrin_bench --costs FILE.json
 */
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../../res/resource.h"
#include "support/program.h"
#include "support/registry.h"
#include "support/timing.h"

using testbed::NowMs;

namespace {

/* ---------- options and output ---------- */

struct Options {
    std::string out;
    std::string handshake;     /* directory shared with scripts/bench */
    int scans = 200;
    int volume = 10000;
    DWORD flood = 1u << 20;
    double idleSeconds = 60;
    double traceSeconds = 10;
    int tracedScans = 40;
    unsigned seed = 1;
};

const int kProgramPort = 2;         /* the program reads COM2 ... */
const int kCostPort = 3;            /* ... the call costs are taken on COM3 */
const DWORD kSpeedIndex38400 = 8;
const DWORD kAbsentPort = 4;
const int kCycleMs = 300;           /* empty read (100 ms) + pause (200 ms) */

FILE *gJson;

/* What a failed run must not leave behind: the program's instances, and
   the settings it changed (put back by the function registered here). */
std::vector<HANDLE> gChildren;
void (*gOnFail)() = nullptr;

void Fail(const char *what)
{
    fprintf(stderr, "bench: %s\n", what);
    fflush(stderr);
    for (HANDLE h : gChildren) {
        if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) {
            TerminateProcess(h, 1);
            WaitForSingleObject(h, 5000);
        }
    }
    if (gOnFail)
        gOnFail();
    ExitProcess(1);
}

/* A tiny JSON writer: nested objects and arrays of numbers. */
std::vector<bool> gJsonFirst;
void JsonSep()
{
    if (!gJsonFirst.empty()) {
        if (!gJsonFirst.back())
            fputs(",\n", gJson);
        gJsonFirst.back() = false;
    }
}
void JsonBegin(const char *key)
{
    JsonSep();
    if (key)
        fprintf(gJson, "\"%s\": {", key);
    else
        fputs("{", gJson);
    gJsonFirst.push_back(true);
}
void JsonEnd()
{
    gJsonFirst.pop_back();
    fputs("}", gJson);
}
void JsonNum(const char *key, double value)
{
    JsonSep();
    if (std::isfinite(value))
        fprintf(gJson, "\"%s\": %.10g", key, value);
    else
        fprintf(gJson, "\"%s\": null", key);
}
void JsonTime(const char *key, double seconds)
{
    JsonSep();
    fprintf(gJson, "\"%s\": %.6f", key, seconds);
}
void JsonStr(const char *key, const std::string &value)
{
    JsonSep();
    fprintf(gJson, "\"%s\": \"", key);
    for (char c : value) {
        if (c == '"' || c == '\\')
            fputc('\\', gJson);
        if ((unsigned char)c >= 0x20)
            fputc(c, gJson);
    }
    fputs("\"", gJson);
}
void JsonArray(const char *key, const std::vector<double> &values)
{
    JsonSep();
    fprintf(gJson, "\"%s\": [", key);
    for (size_t i = 0; i < values.size(); i++)
        if (std::isfinite(values[i]))
            fprintf(gJson, "%s%.4f", i ? ", " : "", values[i]);
        else
            fprintf(gJson, "%snull", i ? ", " : "");
    fputs("]", gJson);
}

struct Stats {
    double min = NAN, p50 = NAN, p95 = NAN, max = NAN, mean = NAN;
    size_t n = 0;
};

Stats Summarise(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        /* nearest rank */
        size_t rank = (size_t)std::ceil(q * (double)v.size());
        if (rank < 1)
            rank = 1;
        return v[rank - 1];
    };
    s.min = v.front();
    s.max = v.back();
    s.p50 = at(0.50);
    s.p95 = at(0.95);
    double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = sum / (double)v.size();
    return s;
}

void JsonStats(const char *key, const std::vector<double> &values)
{
    Stats s = Summarise(values);
    JsonBegin(key);
    JsonNum("n", (double)s.n);
    JsonNum("min", s.min);
    JsonNum("p50", s.p50);
    JsonNum("p95", s.p95);
    JsonNum("max", s.max);
    JsonNum("mean", s.mean);
    JsonEnd();
}

/* A small deterministic generator, so that runs can be repeated. */
struct Random {
    unsigned long long state;
    explicit Random(unsigned seed) : state(seed * 6364136223846793005ull + 1442695040888963407ull) {}
    unsigned Next()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (unsigned)(state >> 33);
    }
    double Uniform(double lo, double hi) { return lo + (hi - lo) * (Next() / 2147483648.0); }
};

/* The byte at position i of the flood: a fixed pseudo-random stream that
   covers all 256 values, so that a lost, doubled or changed byte shows. */
BYTE FloodByte(DWORD i)
{
    unsigned x = i * 2654435761u;
    x ^= x >> 15;
    return (BYTE)(x ^ (x >> 8));
}

/* ---------- the partner end of a cable ---------- */

/* The far end of a null-modem cable, opened for writing. Names above COM9
   need the device namespace prefix. */
class Partner {
public:
    explicit Partner(int port)
    {
        char name[32];
        snprintf(name, sizeof name, "\\\\.\\COM%d", port + 10);
        handle_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE)
            return;
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = 38400;
        dcb.fBinary = 1;
        dcb.ByteSize = 8;
        SetCommState(handle_, &dcb);
        COMMTIMEOUTS t = {};
        t.WriteTotalTimeoutConstant = 5000;   /* per write: bounds a stuck cable */
        SetCommTimeouts(handle_, &t);
    }
    ~Partner()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    Partner(const Partner &) = delete;
    Partner &operator=(const Partner &) = delete;
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool Write(const void *data, size_t size)
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
    bool Write(const std::string &text) { return Write(text.data(), text.size()); }
    /* One write; returns how much the device took before its time-out. */
    size_t WriteSome(const void *data, size_t size)
    {
        DWORD written = 0;
        if (!WriteFile(handle_, data, (DWORD)size, &written, nullptr))
            return 0;
        return written;
    }

private:
    HANDLE handle_;
};

/* ---------- the receiving window ---------- */

struct Received {
    BYTE byte;
    double ms;    /* QueryPerformanceCounter time of dispatch */
};

std::vector<Received> gChars;
bool gRecord = true;

LRESULT CALLBACK TargetProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CHAR) {
        if (gRecord)
            gChars.push_back({(BYTE)wParam, NowMs()});
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND gTarget;

void PumpFor(double ms)
{
    double end = NowMs() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        double left = end - NowMs();
        if (left <= 0)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, (DWORD)left + 1, QS_ALLINPUT);
    }
}

/* Pumps until `count` characters are held or `timeoutMs` passes. */
bool PumpUntil(size_t count, double timeoutMs)
{
    double end = NowMs() + timeoutMs;
    while (gChars.size() < count) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (gChars.size() >= count)
            break;
        double left = end - NowMs();
        if (left <= 0)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 20 ? (DWORD)left + 1 : 20, QS_ALLINPUT);
    }
    return true;
}

/* Pumps until no character has come for `quietMs` (or `timeoutMs`). */
void PumpUntilQuiet(double quietMs, double timeoutMs)
{
    double end = NowMs() + timeoutMs;
    size_t seen = gChars.size();
    double lastChange = NowMs();
    while (NowMs() < end) {
        PumpFor(10);
        if (gChars.size() != seen) {
            seen = gChars.size();
            lastChange = NowMs();
        } else if (NowMs() - lastChange >= quietMs) {
            break;
        }
    }
}

void CreateTarget()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = TargetProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = "TavrinBenchTarget";
    RegisterClassA(&wc);
    gTarget = CreateWindowExA(0, wc.lpszClassName, "Tavrin bench target", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                              120, 120, 320, 200, nullptr, nullptr, wc.hInstance, nullptr);
    if (!gTarget)
    {
        fprintf(stderr, "bench: CreateWindowExA failed, error %lu\n", GetLastError());
        Fail("cannot create the target window");
    }
}

bool TakeFocus()
{
    ShowWindow(gTarget, SW_SHOW);
    SetForegroundWindow(gTarget);
    SetFocus(gTarget);
    PumpFor(30);
    return GetForegroundWindow() == gTarget && GetFocus() == gTarget;
}

/* ---------- the program as a process ---------- */

struct Sample {
    double wallMs;
    double cpuMs;        /* user + kernel, from the system's process list */
    double threads;
    double handles;
    double workingSetKiB;
    double privateKiB;   /* private committed bytes as the system reports them */
};

typedef LONG(NTAPI *QuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

/* The system's process list answers for other processes where Wine's
   per-process queries do not (it reports 0 handles and 0 private bytes,
   and the caller's own times, for another process). */
Sample TakeSample(DWORD pid)
{
    Sample s = {};
    s.wallMs = NowMs();
    s.cpuMs = s.threads = s.handles = s.workingSetKiB = s.privateKiB = NAN;
    static QuerySystemInformationFn query = (QuerySystemInformationFn)(void *)GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (!query)
        return s;
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    if (query(5 /* SystemProcessInformation */, buffer.data(), (ULONG)buffer.size(), &needed) != 0)
        return s;
    for (size_t offset = 0;;) {
        const SYSTEM_PROCESS_INFORMATION *p =
            reinterpret_cast<const SYSTEM_PROCESS_INFORMATION *>(buffer.data() + offset);
        if ((DWORD)(ULONG_PTR)p->UniqueProcessId == pid) {
            s.cpuMs = (double)(p->UserTime.QuadPart + p->KernelTime.QuadPart) / 10000.0;
            s.threads = p->NumberOfThreads;
            s.handles = p->HandleCount;
            s.workingSetKiB = (double)p->VirtualMemoryCounters.WorkingSetSize / 1024.0;
            s.privateKiB = (double)p->VirtualMemoryCounters.PagefileUsage / 1024.0;
            break;
        }
        if (!p->NextEntryOffset)
            break;
        offset += p->NextEntryOffset;
    }
    return s;
}

void JsonSample(const char *key, const Sample &s)
{
    JsonBegin(key);
    JsonNum("cpu_ms", s.cpuMs);
    JsonNum("threads", s.threads);
    JsonNum("handles", s.handles);
    JsonNum("working_set_kib", s.workingSetKiB);
    JsonNum("private_kib", s.privateKiB);
    JsonEnd();
}

/* Each tray icon gets a tooltip window of its own from Wine's explorer,
   owned by the tray; a new one appears when an icon is added. */
struct TrayScan {
    HWND tray;
    std::vector<HWND> found;
};

BOOL CALLBACK TrayTipProc(HWND h, LPARAM param)
{
    TrayScan *scan = reinterpret_cast<TrayScan *>(param);
    char cls[64] = "";
    GetClassNameA(h, cls, sizeof cls);
    if (lstrcmpiA(cls, "tooltips_class32") == 0 && GetWindow(h, GW_OWNER) == scan->tray)
        scan->found.push_back(h);
    return TRUE;
}

std::vector<HWND> TrayIconWindows()
{
    TrayScan scan;
    scan.tray = FindWindowA("Shell_TrayWnd", nullptr);
    if (scan.tray)
        EnumWindows(TrayTipProc, reinterpret_cast<LPARAM>(&scan));
    return scan.found;
}

BOOL CALLBACK DumpTop(HWND h, LPARAM)
{
    char cls[64] = "";
    GetClassNameA(h, cls, sizeof cls);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    fprintf(stderr, "  top %p class %s owner %p pid %lu\n", (void *)h, cls, (void *)GetWindow(h, GW_OWNER), pid);
    return TRUE;
}

void DumpTray()
{
    HWND tray = FindWindowA("Shell_TrayWnd", nullptr);
    fprintf(stderr, "bench: Shell_TrayWnd %p\n", (void *)tray);
    EnumWindows(DumpTop, 0);
}

bool HasNewIcon(const std::vector<HWND> &before)
{
    for (HWND h : TrayIconWindows())
        if (std::find(before.begin(), before.end(), h) == before.end())
            return true;
    return false;
}

struct Instance {
    PROCESS_INFORMATION pi = {};
    HWND window = nullptr;
    double startMs = NAN;      /* just before CreateProcess */
    double windowMs = NAN;     /* hidden window found */
    double iconMs = NAN;       /* its tray icon window found */
    bool iconSeen = false;

    ~Instance()
    {
        if (pi.hProcess) {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(pi.hProcess, 1);
                WaitForSingleObject(pi.hProcess, 5000);
            }
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
};

/* Starts the program with the given settings and waits, polling every
   millisecond, for its hidden window and its tray icon. */
bool StartInstance(Instance &inst, DWORD port, DWORD speedIndex)
{
    testbed::SetSettingDword("Port", port);
    testbed::SetSettingDword("Baud", speedIndex);
    std::vector<HWND> before = TrayIconWindows();

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", TAVRIN_EXE_PATH);
    inst.startMs = NowMs();
    if (!CreateProcessA(TAVRIN_EXE_PATH, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &inst.pi))
        return false;
    gChildren.push_back(inst.pi.hProcess);
    while (NowMs() - inst.startMs < 15000) {
        if (!inst.window) {
            inst.window = testbed::FindTavrinWindow(inst.pi.dwProcessId);
            if (inst.window)
                inst.windowMs = NowMs();
        }
        if (!inst.iconSeen && HasNewIcon(before)) {
            inst.iconSeen = true;
            inst.iconMs = NowMs();
        }
        if (inst.window && inst.iconSeen)
            return true;
        if (WaitForSingleObject(inst.pi.hProcess, 1) != WAIT_TIMEOUT) {
            fprintf(stderr, "bench: the program ended during start-up\n");
            return false;
        }
    }
    fprintf(stderr, "bench: start-up: window %s, tray icon %s\n", inst.window ? "found" : "missing",
            inst.iconSeen ? "found" : "missing");
    DumpTray();
    return false;
}

/* Sends the menu's "Close" and returns the milliseconds until the
   process has ended (NAN if it did not within 10 s). */
double CloseInstance(Instance &inst)
{
    double t0 = NowMs();
    PostMessageA(inst.window, WM_COMMAND, MAKEWPARAM(IDM_CLOSE, 0), 0);
    if (WaitForSingleObject(inst.pi.hProcess, 10000) != WAIT_OBJECT_0)
        return NAN;
    return NowMs() - t0;
}

/* ---------- the handshake with scripts/bench ---------- */

/* Leaves `<dir>\mark-<name>` (with a line of details) and waits, bounded,
   for the script's `<dir>\ack-<name>`; without --handshake it does
   nothing. The script reads Linux-side figures at each mark. */
bool Mark(const Options &opt, const char *name, const std::string &details, double boundMs)
{
    if (opt.handshake.empty())
        return false;
    std::string mark = opt.handshake + "\\mark-" + name;
    std::string ack = opt.handshake + "\\ack-" + name;
    std::string tmp = mark + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    fprintf(f, "%s\n", details.c_str());
    fclose(f);
    MoveFileExA(tmp.c_str(), mark.c_str(), MOVEFILE_REPLACE_EXISTING);
    double t0 = NowMs();
    while (NowMs() - t0 < boundMs) {
        if (GetFileAttributesA(ack.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        PumpFor(5);
    }
    fprintf(stderr, "bench: no answer to mark %s\n", name);
    return false;
}

/* ---------- phase: cost of single calls ---------- */

HANDLE OpenLikeTheProgram(const char *name)
{
    HANDLE h = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    SetupComm(h, 1024, 1024);
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = 500;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 100;
    t.WriteTotalTimeoutMultiplier = 4;
    t.WriteTotalTimeoutConstant = 250;
    SetCommTimeouts(h, &t);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 38400;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.ByteSize = 8;
    SetCommState(h, &dcb);
    SetCommMask(h, EV_RXCHAR);
    return h;
}

struct Costs {
    double readUs = NAN, readP50Us = NAN, waitUs = NAN, postUs = NAN, focusUs = NAN, iconUs = NAN;
    double sleep50Ms = NAN, emptyReadMs = NAN;
};

/* Runs in a child process of its own, so that every call crosses a
   process boundary exactly as the program's do: the focus lookup finds
   the parent's window, the posts go to it, the icon goes to the shell. */
Costs MeasureCostsHere()
{
    Costs c;
    const int kReads = 1000;

    /* One-byte reads with data waiting, with the program's time-outs. */
    HANDLE in = OpenLikeTheProgram("COM3");
    Partner out(kCostPort);
    if (in == INVALID_HANDLE_VALUE || !out.IsOpen()) {
        fprintf(stderr, "bench: COM3 %s, COM13 %s (error %lu)\n", in == INVALID_HANDLE_VALUE ? "failed" : "open",
                out.IsOpen() ? "open" : "failed", GetLastError());
        Fail("cannot open COM3/COM13 for the call costs");
    }
    PurgeComm(in, PURGE_RXCLEAR | PURGE_TXCLEAR);
    std::vector<BYTE> data(kReads, 'x');
    out.Write(data.data(), data.size());
    /* let the cable carry all of it before timing */
    for (int i = 0; i < 200; i++) {
        COMSTAT st = {};
        DWORD errors = 0;
        ClearCommError(in, &errors, &st);
        if (st.cbInQue >= (DWORD)kReads)
            break;
        Sleep(10);
    }
    std::vector<double> each;
    each.reserve(kReads);
    int got = 0;
    double t0 = NowMs();
    for (int i = 0; i < kReads; i++) {
        BYTE b;
        DWORD n = 0;
        double a = NowMs();
        ReadFile(in, &b, 1, &n, nullptr);
        each.push_back((NowMs() - a) * 1000.0);
        got += (int)n;
    }
    double total = NowMs() - t0;
    if (got == kReads) {
        c.readUs = total * 1000.0 / kReads;
        c.readP50Us = Summarise(each).p50;
    }

    /* The receive wait (it returns at once on a pseudo-terminal). */
    const int kWaits = 50;
    t0 = NowMs();
    for (int i = 0; i < kWaits; i++) {
        DWORD mask = EV_RXCHAR;
        WaitCommEvent(in, &mask, nullptr);
    }
    c.waitUs = (NowMs() - t0) * 1000.0 / kWaits;

    /* The empty read that closes a burst. */
    {
        BYTE b;
        DWORD n = 0;
        t0 = NowMs();
        ReadFile(in, &b, 1, &n, nullptr);
        c.emptyReadMs = NowMs() - t0;
    }
    CloseHandle(in);

    /* The focus lookup, as the worker makes it. */
    const int kLookups = 100;
    DWORD self = GetCurrentThreadId();
    HWND focus = nullptr;
    t0 = NowMs();
    for (int i = 0; i < kLookups; i++) {
        DWORD target = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
        AttachThreadInput(self, target, TRUE);
        focus = GetFocus();
        AttachThreadInput(self, target, FALSE);
    }
    c.focusUs = (NowMs() - t0) * 1000.0 / kLookups;

    /* A burst's worth of posts to that window (the parent drops them). */
    if (focus) {
        t0 = NowMs();
        for (int i = 0; i < 1024; i++)
            PostMessageA(focus, WM_CHAR, (WPARAM)(i & 0xFF), 0);
        c.postUs = (NowMs() - t0) * 1000.0 / 1024;
    }

    /* One icon update, on an icon of this process's own. */
    HWND owner = CreateWindowExA(0, "STATIC", "bench icon owner", 0, 0, 0, 0, 0, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    NOTIFYICONDATAA nid = {};
    nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    nid.hWnd = owner;
    nid.uID = 77;
    nid.uFlags = NIF_ICON | NIF_TIP;
    nid.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    lstrcpynA(nid.szTip, "bench", sizeof nid.szTip);
    if (owner && Shell_NotifyIconA(NIM_ADD, &nid)) {
        const int kUpdates = 40;
        t0 = NowMs();
        for (int i = 0; i < kUpdates; i++) {
            nid.hIcon = LoadIconA(nullptr, (i & 1) ? IDI_APPLICATION : IDI_INFORMATION);
            Shell_NotifyIconA(NIM_MODIFY, &nid);
        }
        c.iconUs = (NowMs() - t0) * 1000.0 / kUpdates;
        Shell_NotifyIconA(NIM_DELETE, &nid);
    }
    if (owner)
        DestroyWindow(owner);

    /* What Sleep(50) really takes. */
    t0 = NowMs();
    for (int i = 0; i < 10; i++)
        Sleep(50);
    c.sleep50Ms = (NowMs() - t0) / 10;
    return c;
}

int CostsChild(const std::string &file)
{
    Costs c = MeasureCostsHere();
    gJson = fopen(file.c_str(), "w");
    if (!gJson)
        return 1;
    JsonBegin(nullptr);
    JsonNum("read_us", c.readUs);
    JsonNum("read_p50_us", c.readP50Us);
    JsonNum("wait_us", c.waitUs);
    JsonNum("empty_read_ms", c.emptyReadMs);
    JsonNum("post_us", c.postUs);
    JsonNum("focus_us", c.focusUs);
    JsonNum("icon_update_us", c.iconUs);
    JsonNum("sleep50_ms", c.sleep50Ms);
    JsonEnd();
    fclose(gJson);
    return 0;
}

bool ReadNumber(const std::string &text, const char *key, double *value)
{
    std::string k = std::string("\"") + key + "\":";
    size_t at = text.find(k);
    if (at == std::string::npos)
        return false;
    *value = strtod(text.c_str() + at + k.size(), nullptr);
    return true;
}

/* Runs the cost measurements in a child process while this one keeps its
   window (the focused one) answering. */
Costs MeasureCosts(const std::string &self, const std::string &file)
{
    Costs c;
    DeleteFileA(file.c_str());
    std::string commandLine = "\"" + self + "\" --costs \"" + file + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<char> cl(commandLine.begin(), commandLine.end());
    cl.push_back(0);
    if (!CreateProcessA(self.c_str(), cl.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        Fail("cannot start the cost measurement");
    gRecord = false;
    double t0 = NowMs();
    while (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT && NowMs() - t0 < 120000)
        PumpFor(5);
    PumpFor(100);
    gRecord = true;
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    FILE *f = fopen(file.c_str(), "r");
    if (!f)
        Fail("the cost measurement wrote nothing");
    std::string text;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, n);
    fclose(f);
    ReadNumber(text, "read_us", &c.readUs);
    ReadNumber(text, "read_p50_us", &c.readP50Us);
    ReadNumber(text, "wait_us", &c.waitUs);
    ReadNumber(text, "empty_read_ms", &c.emptyReadMs);
    ReadNumber(text, "post_us", &c.postUs);
    ReadNumber(text, "focus_us", &c.focusUs);
    ReadNumber(text, "icon_update_us", &c.iconUs);
    ReadNumber(text, "sleep50_ms", &c.sleep50Ms);
    return c;
}

void JsonCosts(const char *key, const Costs &c)
{
    JsonBegin(key);
    JsonNum("read_us", c.readUs);
    JsonNum("read_p50_us", c.readP50Us);
    JsonNum("wait_us", c.waitUs);
    JsonNum("empty_read_ms", c.emptyReadMs);
    JsonNum("post_us", c.postUs);
    JsonNum("focus_us", c.focusUs);
    JsonNum("icon_update_us", c.iconUs);
    JsonNum("sleep50_ms", c.sleep50Ms);
    JsonEnd();
}

/* ---------- a writer thread for the long transfers ---------- */

struct WriteJob {
    Partner *port;
    std::vector<BYTE> data;
    DWORD chunk;
    double startMs;
    double endMs;
    size_t sent;
    bool ok;
};

/* Writes the data in chunks. A write that times out with nothing taken
   (the program is busy and the cable is full) is tried again; the writer
   gives up only after a minute without progress. */
DWORD WINAPI WriterThreadProc(LPVOID param)
{
    WriteJob *job = static_cast<WriteJob *>(param);
    job->startMs = NowMs();
    job->ok = true;
    job->sent = 0;
    double lastProgress = NowMs();
    while (job->sent < job->data.size()) {
        size_t n = std::min<size_t>(job->chunk, job->data.size() - job->sent);
        size_t done = job->port->WriteSome(job->data.data() + job->sent, n);
        if (done) {
            job->sent += done;
            lastProgress = NowMs();
        } else if (NowMs() - lastProgress > 60000) {
            job->ok = false;
            break;
        }
    }
    job->endMs = NowMs();
    return 0;
}

/* Sends `data` from a writer thread while this thread takes the
   characters; returns when all came, or nothing came for `quietMs`. */
bool Transfer(Partner &port, const std::vector<BYTE> &data, DWORD chunk, double quietMs,
              double *startMs, double *endWriteMs, size_t *sent)
{
    WriteJob job;
    job.port = &port;
    job.data = data;
    job.chunk = chunk;
    job.ok = false;
    size_t base = gChars.size();
    HANDLE th = CreateThread(nullptr, 0, WriterThreadProc, &job, 0, nullptr);
    size_t seen = gChars.size();
    double lastChange = NowMs();
    for (;;) {
        PumpFor(20);
        if (gChars.size() - base >= data.size())
            break;
        if (gChars.size() != seen) {
            seen = gChars.size();
            lastChange = NowMs();
        } else if (NowMs() - lastChange > quietMs && WaitForSingleObject(th, 0) == WAIT_OBJECT_0) {
            break;
        }
    }
    /* The writer ends within its per-write time-out. */
    while (WaitForSingleObject(th, 0) == WAIT_TIMEOUT)
        PumpFor(20);
    CloseHandle(th);
    *startMs = job.startMs;
    *endWriteMs = job.endMs;
    *sent = job.sent;
    return job.ok;
}

/* ---------- the run ---------- */

std::string Scan(int i)
{
    char text[32];
    snprintf(text, sizeof text, "4%011d\r", (i * 7919) % 100000000);
    return text;
}

std::string Pids(const Instance &a, const Instance *b)
{
    char text[128];
    if (b)
        snprintf(text, sizeof text, "open=%lu noport=%lu", a.pi.dwProcessId, b->pi.dwProcessId);
    else
        snprintf(text, sizeof text, "open=%lu", a.pi.dwProcessId);
    return text;
}

/* Seconds since 1970 on the system clock, the clock strace stamps its
   lines with, so that a write can be placed in a trace of the program. */
double UnixSeconds()
{
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    return (double)(u.QuadPart - 116444736000000000ull) / 1e7;
}

struct ScanResult {
    double latencyMs;     /* last byte written -> first WM_CHAR */
    double lastMs;        /* last byte written -> last WM_CHAR */
    double delayMs;       /* previous scan's first WM_CHAR -> this write */
    double writtenUnix;   /* system clock when the write returned */
};

/* Writes `count` scans, one at a time, each at a random moment of the
   reader's cycle after the previous delivery, and times their arrival. */
std::vector<ScanResult> RunScans(Partner &partner, Random &rnd, int first, int count, int *lost, int *wrong)
{
    std::vector<ScanResult> results;
    double lastFirstChar = NAN;
    for (int i = first; i < first + count; i++) {
        if ((i - first) % 20 == 0)
            TakeFocus();
        double d = rnd.Uniform(80, 80 + kCycleMs);
        if (std::isnan(lastFirstChar))
            PumpFor(d);
        else
            PumpFor(std::max(0.0, lastFirstChar + d - NowMs()));
        std::string scan = Scan(i);
        gChars.clear();
        double before = NowMs();
        if (!partner.Write(scan))
            Fail("write to COM12 failed");
        double written = NowMs();
        double writtenUnix = UnixSeconds();
        if (!PumpUntil(scan.size(), 3000)) {
            *lost += (int)(scan.size() - gChars.size());
            lastFirstChar = NAN;
            continue;
        }
        std::string text;
        for (const Received &r : gChars)
            text.push_back((char)r.byte);
        if (text.substr(0, scan.size()) != scan)
            (*wrong)++;
        ScanResult r;
        r.latencyMs = gChars.front().ms - written;
        r.lastMs = gChars[scan.size() - 1].ms - written;
        r.delayMs = std::isnan(lastFirstChar) ? NAN : before - lastFirstChar;
        r.writtenUnix = writtenUnix;
        results.push_back(r);
        lastFirstChar = gChars.front().ms;
    }
    PumpUntilQuiet(500, 3000);
    return results;
}

void JsonScans(const std::vector<ScanResult> &scans)
{
    std::vector<double> latency, last, delay, unix;
    for (const ScanResult &r : scans) {
        latency.push_back(r.latencyMs);
        last.push_back(r.lastMs);
        delay.push_back(r.delayMs);
        unix.push_back(r.writtenUnix);
    }
    JsonStats("first_char_ms", latency);
    JsonStats("last_char_ms", last);
    JsonArray("samples_ms", latency);
    JsonArray("delay_ms", delay);
    JsonSep();
    fputs("\"written_unix\": [", gJson);
    for (size_t i = 0; i < unix.size(); i++)
        fprintf(gJson, "%s%.6f", i ? ", " : "", unix[i]);
    fputs("]", gJson);
}

/* The settings as the run found them, put back at its end so that the
   program's next start (a test, say) sees what it would have seen. */
struct SavedSettings {
    bool existed = false, hasPort = false, hasBaud = false;
    DWORD port = 0, baud = 0;
};
SavedSettings gSaved;

void SaveSettingsKey()
{
    gSaved.existed = testbed::SettingsKeyExists();
    gSaved.hasPort = testbed::GetSettingDword("Port", &gSaved.port);
    gSaved.hasBaud = testbed::GetSettingDword("Baud", &gSaved.baud);
}

void RestoreSettingsKey()
{
    testbed::DeleteSettingsKey();
    if (!gSaved.existed)
        return;
    if (gSaved.hasPort)
        testbed::SetSettingDword("Port", gSaved.port);
    if (gSaved.hasBaud)
        testbed::SetSettingDword("Baud", gSaved.baud);
}

int Run(const Options &opt, const std::string &self)
{
    SaveSettingsKey();
    gOnFail = RestoreSettingsKey;
    gJson = fopen(opt.out.c_str(), "w");
    if (!gJson)
        Fail("cannot write the output file");
    Random rnd(opt.seed);
    std::string costsFile = opt.out + ".costs";

    CreateTarget();
    if (!TakeFocus())
        fprintf(stderr, "bench: warning: the target window did not get the focus\n");

    JsonBegin(nullptr);
    JsonNum("seed", opt.seed);
    JsonStr("exe", TAVRIN_EXE_PATH);

    Partner partner(kProgramPort);
    if (!partner.IsOpen())
        Fail("cannot open the partner port COM12");

    /* startup */
    Instance prog;
    if (!StartInstance(prog, kProgramPort, kSpeedIndex38400))
        Fail("the program did not start (window and tray icon)");
    JsonBegin("startup");
    JsonNum("window_ms", prog.windowMs - prog.startMs);
    JsonNum("icon_ms", prog.iconMs - prog.startMs);
    JsonEnd();

    /* footprint after start, once the program has settled */
    PumpFor(1500);
    TakeFocus();
    Sample atStart = TakeSample(prog.pi.dwProcessId);
    Mark(opt, "started", Pids(prog, nullptr), 10000);

    /* latency */
    int lost = 0, wrong = 0;
    std::vector<ScanResult> scans = RunScans(partner, rnd, 0, opt.scans, &lost, &wrong);
    JsonBegin("latency");
    JsonNum("scans", opt.scans);
    JsonNum("lost_bytes", lost);
    JsonNum("wrong_scans", wrong);
    JsonScans(scans);
    JsonEnd();

    /* volume: many scans back to back */
    {
        std::vector<BYTE> data;
        for (int i = 0; i < opt.volume; i++) {
            std::string s = Scan(i);
            data.insert(data.end(), s.begin(), s.end());
        }
        TakeFocus();
        gChars.clear();
        gChars.reserve(data.size() + 1024);
        double startMs, endWriteMs;
        size_t sent = 0;
        bool ok = Transfer(partner, data, 13 * 16, 10000, &startMs, &endWriteMs, &sent);
        size_t match = 0;
        for (size_t i = 0; i < gChars.size() && i < data.size(); i++)
            match += gChars[i].byte == data[i];
        PumpFor(1000);
        Sample afterVolume = TakeSample(prog.pi.dwProcessId);
        Mark(opt, "volume-end", Pids(prog, nullptr), 10000);
        JsonBegin("volume");
        JsonNum("scans", opt.volume);
        JsonNum("bytes", (double)data.size());
        JsonNum("received", (double)gChars.size());
        JsonNum("sent", (double)sent);
        JsonNum("lost_bytes", (double)sent - (double)std::min(gChars.size(), sent));
        JsonNum("mismatched", (double)(std::min(gChars.size(), data.size()) - match));
        JsonNum("writer_ok", ok);
        JsonNum("write_seconds", (endWriteMs - startMs) / 1000.0);
        JsonNum("seconds", gChars.empty() ? NAN : (gChars.back().ms - startMs) / 1000.0);
        JsonEnd();
        JsonSample("footprint_start", atStart);
        JsonSample("footprint_after_volume", afterVolume);
    }

    /* flood: throughput ceiling, with the call costs taken just before
       and just after it under the same conditions */
    Costs before = MeasureCosts(self, costsFile);
    {
        std::vector<BYTE> data(opt.flood);
        for (DWORD i = 0; i < opt.flood; i++)
            data[i] = FloodByte(i);
        TakeFocus();
        gChars.clear();
        gChars.reserve(opt.flood + 1024);
        Mark(opt, "flood-begin", Pids(prog, nullptr), 10000);
        Sample s0 = TakeSample(prog.pi.dwProcessId);
        double startMs, endWriteMs;
        size_t sent = 0;
        bool ok = Transfer(partner, data, 4096, 10000, &startMs, &endWriteMs, &sent);
        double lastChar = gChars.empty() ? NAN : gChars.back().ms;
        Sample s1 = TakeSample(prog.pi.dwProcessId);
        Mark(opt, "flood-end", Pids(prog, nullptr), 10000);
        size_t received = gChars.size();
        size_t match = 0;
        for (size_t i = 0; i < received && i < data.size(); i++)
            match += gChars[i].byte == data[i];
        /* Bursts, as the target saw them: runs of characters separated by
           the worker's delivery pause. The span of a burst is the time its
           posts took; the gap is the pause, the icon updates, the wait and
           the reads of the next burst. */
        std::vector<double> burstBytes, burstSpanMs, gapMs, postUsInSitu;
        size_t runStart = 0;
        for (size_t i = 1; i <= received; i++) {
            if (i == received || gChars[i].ms - gChars[i - 1].ms > 40) {
                size_t n = i - runStart;
                double span = gChars[i - 1].ms - gChars[runStart].ms;
                burstBytes.push_back((double)n);
                burstSpanMs.push_back(span);
                if (n > 1)
                    postUsInSitu.push_back(span * 1000.0 / (double)(n - 1));
                if (i < received)
                    gapMs.push_back(gChars[i].ms - gChars[i - 1].ms);
                runStart = i;
            }
        }
        Costs after = MeasureCosts(self, costsFile);
        double seconds = (lastChar - startMs) / 1000.0;
        double rate = (double)received / seconds;
        double readUs = (before.readUs + after.readUs) / 2;
        double postUs = (before.postUs + after.postUs) / 2;
        double modelSec = 0.050 + 1024 * (readUs + postUs) * 1e-6;
        double fullModelSec = 0.050 + 1024 * (readUs + postUs) * 1e-6 +
                              ((before.waitUs + after.waitUs) / 2 + (before.focusUs + after.focusUs) / 2 +
                               (before.iconUs + after.iconUs)) * 1e-6;
        JsonCosts("costs_before", before);
        JsonCosts("costs_after", after);
        JsonBegin("flood");
        JsonNum("bytes", opt.flood);
        JsonNum("received", (double)received);
        JsonNum("sent", (double)sent);
        JsonNum("lost_bytes", (double)sent - (double)std::min(received, sent));
        JsonNum("extra_bytes", received > opt.flood ? (double)(received - opt.flood) : 0);
        JsonNum("mismatched", (double)(std::min<size_t>(received, opt.flood) - match));
        JsonNum("writer_ok", ok);
        JsonNum("write_seconds", (endWriteMs - startMs) / 1000.0);
        JsonNum("seconds", seconds);
        JsonNum("bytes_per_s", rate);
        JsonNum("line_rate_ratio", rate / 3840.0);
        JsonNum("read_us", readUs);
        JsonNum("post_us", postUs);
        JsonNum("model_ceiling_bytes_per_s", 1024.0 / modelSec);
        JsonNum("model_ratio", rate / (1024.0 / modelSec));
        JsonNum("full_model_ceiling_bytes_per_s", 1024.0 / fullModelSec);
        JsonNum("full_model_ratio", rate / (1024.0 / fullModelSec));
        /* The same ceiling with the posts' cost as the flood itself showed
           it (burst span per byte): what the formula leaves out is then
           only the icon updates, the receive wait and the focus lookup. */
        double postInSitu = Summarise(postUsInSitu).p50;
        double inSituSec = 0.050 + 1024 * (readUs + postInSitu) * 1e-6;
        JsonNum("in_situ_model_ceiling_bytes_per_s", 1024.0 / inSituSec);
        JsonNum("in_situ_model_ratio", rate / (1024.0 / inSituSec));
        JsonNum("wine_cpu_ms", s1.cpuMs - s0.cpuMs);
        JsonStats("burst_bytes", burstBytes);
        JsonStats("burst_span_ms", burstSpanMs);
        JsonStats("gap_ms", gapMs);
        JsonStats("post_us_in_situ", postUsInSitu);
        JsonEnd();
    }
    PumpFor(1000);
    Sample afterFlood = TakeSample(prog.pi.dwProcessId);
    JsonSample("footprint_after_flood", afterFlood);

    /* idle: the same instance with its port open, and a second one with
       no port, side by side over the same window */
    Instance noport;
    if (!StartInstance(noport, kAbsentPort, kSpeedIndex38400))
        Fail("the no-port instance did not start");
    TakeFocus();
    PumpFor(2500);
    {
        Sample a0 = TakeSample(prog.pi.dwProcessId);
        Sample b0 = TakeSample(noport.pi.dwProcessId);
        Mark(opt, "idle-begin", Pids(prog, &noport), 10000);
        double t0 = NowMs();
        while (NowMs() - t0 < opt.idleSeconds * 1000.0)
            PumpFor(std::min(500.0, opt.idleSeconds * 1000.0 - (NowMs() - t0)));
        Sample a1 = TakeSample(prog.pi.dwProcessId);
        Sample b1 = TakeSample(noport.pi.dwProcessId);
        Mark(opt, "idle-end", Pids(prog, &noport), 10000);
        double wall = NowMs() - t0;
        JsonBegin("idle");
        JsonNum("seconds", wall / 1000.0);
        JsonNum("port_open_wine_cpu_ms", a1.cpuMs - a0.cpuMs);
        JsonNum("no_port_wine_cpu_ms", b1.cpuMs - b0.cpuMs);
        JsonSample("no_port_footprint", b1);
        JsonEnd();
    }

    /* trace: scripts/bench attaches strace to both instances, counts the
       reader passes over a quiet window and then sees where in its cycle
       the worker was when each of a few more scans was written */
    if (!opt.handshake.empty() && opt.traceSeconds > 0) {
        Mark(opt, "trace-begin", Pids(prog, &noport), 30000);
        double quietBegin = UnixSeconds();
        PumpFor(opt.traceSeconds * 1000.0);
        double quietEnd = UnixSeconds();
        int tlost = 0, twrong = 0;
        std::vector<ScanResult> traced = RunScans(partner, rnd, opt.scans, opt.tracedScans, &tlost, &twrong);
        Mark(opt, "trace-end", Pids(prog, &noport), 30000);
        JsonBegin("traced");
        JsonTime("quiet_begin_unix", quietBegin);
        JsonTime("quiet_end_unix", quietEnd);
        JsonNum("scans", opt.tracedScans);
        JsonNum("lost_bytes", tlost);
        JsonNum("wrong_scans", twrong);
        JsonScans(traced);
        JsonEnd();
    }
    Sample atEnd = TakeSample(prog.pi.dwProcessId);
    JsonSample("footprint_end", atEnd);

    /* close */
    Mark(opt, "closing", Pids(prog, &noport), 10000);
    JsonBegin("close");
    JsonNum("port_open_ms", CloseInstance(prog));
    JsonNum("no_port_ms", CloseInstance(noport));
    DWORD code = 99;
    GetExitCodeProcess(prog.pi.hProcess, &code);
    JsonNum("exit_code", code);
    JsonEnd();

    JsonEnd();
    fputs("\n", gJson);
    fclose(gJson);
    DeleteFileA(costsFile.c_str());
    RestoreSettingsKey();
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) {
            fprintf(stderr, "bench: %s needs a value\n", a.c_str());
            return 2;
        }
        if (a == "--out")
            opt.out = v;
        else if (a == "--handshake")
            opt.handshake = v;
        else if (a == "--scans")
            opt.scans = atoi(v);
        else if (a == "--volume")
            opt.volume = atoi(v);
        else if (a == "--flood")
            opt.flood = (DWORD)strtoul(v, nullptr, 10);
        else if (a == "--idle")
            opt.idleSeconds = atof(v);
        else if (a == "--trace")
            opt.traceSeconds = atof(v);
        else if (a == "--traced-scans")
            opt.tracedScans = atoi(v);
        else if (a == "--costs")
            return CostsChild(v);
        else if (a == "--seed")
            opt.seed = (unsigned)strtoul(v, nullptr, 10);
        else {
            fprintf(stderr, "bench: unknown option %s\n", a.c_str());
            return 2;
        }
        i++;
    }
    if (opt.out.empty()) {
        fprintf(stderr, "usage: tavrin_bench --out FILE.json [--scans N] [--volume N] [--flood BYTES]\n"
                        "       [--idle SECONDS] [--trace SECONDS] [--handshake DIR] [--seed N]\n");
        return 2;
    }
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    return Run(opt, self);
}
