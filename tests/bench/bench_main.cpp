/*
 * tavrin_bench: measures the program from outside, as a user's machine
 * sees it. It starts tavrin.exe as a separate process, owns the focused
 * window that receives the characters, writes to the partner end of the
 * null-modem cable (COM12 for the program's COM2) and reads the program's
 * CPU times, threads, handles and memory across the process boundary.
 * One invocation is one run; scripts/bench runs it several times and
 * aggregates the JSON it writes. The program, the cable, the target window
 * and the process figures come from the shared test support (tests/support).
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
 *              COM3/COM13, the port opened by the program's own code
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

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/app.h"
#include "serial/serial.h"
#include "support/cable.h"
#include "support/census.h"
#include "support/program.h"
#include "support/registry.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

using testbed::NowMs;
using testbed::TargetWindow;

namespace {

/* ---------- options ---------- */

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
const int kAbsentPort = 4;
const int kCycleMs = 300;           /* empty read (100 ms) + pause (200 ms) */
const DWORD kStallMs = 60000;       /* a writer gives up after this long without progress */

/* ---------- failure ---------- */

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

/* ---------- output: a tiny JSON writer and summary statistics ---------- */

FILE *gJson;
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
/* A time on the system clock, in seconds, to the microsecond. */
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
/* `format` prints one finite value ("%.4f", or "%.6f" for clock times). */
void JsonArray(const char *key, const std::vector<double> &values, const char *format = "%.4f")
{
    JsonSep();
    fprintf(gJson, "\"%s\": [", key);
    for (size_t i = 0; i < values.size(); i++) {
        if (i)
            fputs(", ", gJson);
        if (std::isfinite(values[i]))
            fprintf(gJson, format, values[i]);
        else
            fputs("null", gJson);
    }
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
        return v[std::max<size_t>(rank, 1) - 1];
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

/* The program's footprint as the system's process list gives it. */
void JsonFootprint(const char *key, const testbed::ProcessFigures &f)
{
    JsonBegin(key);
    JsonNum("cpu_ms", f.found ? f.cpuMs : NAN);
    JsonNum("threads", f.found ? f.threads : NAN);
    JsonNum("handles", f.found ? f.handles : NAN);
    JsonNum("working_set_kib", f.found ? f.workingSetKiB : NAN);
    JsonNum("private_kib", f.found ? f.privateKiB : NAN);
    JsonEnd();
}

/* Seconds since 1970 on the system clock, the clock strace stamps its
   lines with, so that a write can be placed in a trace of the program. */
double UnixSeconds()
{
    return (double)(testbed::FileTimeNow() - 116444736000000000ull) / 1e7;
}

/* ---------- the program as a process ---------- */

struct Instance {
    testbed::TavrinProcess process;   /* killed if it still runs at the end */
    HWND window = nullptr;
    double startMs = NAN;      /* just before CreateProcess */
    double windowMs = NAN;     /* hidden window found */
    double iconMs = NAN;       /* its tray icon found */
    double readyMs = NAN;      /* its reader runs (see testbed::WaitForReady) */
};

bool HasNewIcon(const std::vector<HWND> &before)
{
    for (HWND h : testbed::TrayIconTips())
        if (std::find(before.begin(), before.end(), h) == before.end())
            return true;
    return false;
}

/* Starts the program with the given settings and waits, polling every
   millisecond, for its hidden window and its tray icon. */
bool StartInstance(Instance &inst, int port, int speedIndex)
{
    testbed::StoreSettings(port, speedIndex);
    std::vector<HWND> before = testbed::TrayIconTips();
    inst.startMs = NowMs();
    if (!inst.process.Start())
        return false;
    gChildren.push_back(inst.process.process());
    /* Polled every millisecond, so that the start-up figures stay sharp;
       the readiness wait after it needs the window the poll found. */
    while (NowMs() - inst.startMs < testbed::kReadyTimeoutMs) {
        if (!inst.window && (inst.window = testbed::FindTavrinWindow(inst.process.pid())) != nullptr)
            inst.windowMs = NowMs();
        if (std::isnan(inst.iconMs) && HasNewIcon(before))
            inst.iconMs = NowMs();
        if (inst.window && !std::isnan(inst.iconMs)) {
            ::testing::AssertionResult ready = inst.process.WaitForReady();
            if (!ready) {
                fprintf(stderr, "bench: start-up: %s\n", ready.message());
                return false;
            }
            inst.readyMs = NowMs();
            return true;
        }
        if (WaitForSingleObject(inst.process.process(), 1) != WAIT_TIMEOUT) {
            fprintf(stderr, "bench: the program ended during start-up\n");
            return false;
        }
    }
    fprintf(stderr, "bench: start-up: window %s, tray icon %s (taskbar %s, %zu icon tips)\n",
            inst.window ? "found" : "missing", std::isnan(inst.iconMs) ? "missing" : "found",
            testbed::FindTaskbar() ? "present" : "missing", testbed::TrayIconTips().size());
    return false;
}

/* Sends the menu's "Close" and returns the milliseconds until the
   process has ended (NAN if it did not within 10 s). */
double CloseInstance(Instance &inst, DWORD *exitCode)
{
    double t0 = NowMs();
    if (!testbed::CloseProgram(inst.window, inst.process.process(), 10000, exitCode))
        return NAN;
    return NowMs() - t0;
}

std::string Pids(const Instance &a, const Instance *b)
{
    char text[128];
    if (b)
        snprintf(text, sizeof text, "open=%lu noport=%lu", a.process.pid(), b->process.pid());
    else
        snprintf(text, sizeof text, "open=%lu", a.process.pid());
    return text;
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

/* ---------- the handshake with scripts/bench ---------- */

/* Leaves `<dir>\mark-<name>` (with a line of details) and waits, bounded,
   for the script's `<dir>\ack-<name>`, answering the target's messages
   meanwhile; without --handshake it does nothing. The script reads
   Linux-side figures at each mark. */
bool Mark(const Options &opt, TargetWindow &target, const char *name, const std::string &details,
          double boundMs)
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
        target.Pump(5);
    }
    fprintf(stderr, "bench: no answer to mark %s\n", name);
    return false;
}

/* ---------- figure: the cost of single calls ---------- */

struct Costs {
    double readUs = NAN, readP50Us = NAN, waitUs = NAN, emptyReadMs = NAN;
    double postUs = NAN, focusUs = NAN, iconUs = NAN, sleep50Ms = NAN;
};

/* The costs as they travel: the child writes them, the parent reads them
   back and both put them in the run's output under these names. */
struct CostField {
    const char *key;
    double Costs::*value;
};
const CostField kCostFields[] = {
    {"read_us", &Costs::readUs},         {"read_p50_us", &Costs::readP50Us}, {"wait_us", &Costs::waitUs},
    {"empty_read_ms", &Costs::emptyReadMs}, {"post_us", &Costs::postUs},  {"focus_us", &Costs::focusUs},
    {"icon_update_us", &Costs::iconUs},  {"sleep50_ms", &Costs::sleep50Ms},
};

void JsonCosts(const char *key, const Costs &c)
{
    JsonBegin(key);
    for (const CostField &field : kCostFields)
        JsonNum(field.key, c.*field.value);
    JsonEnd();
}

/* Calls `call` `times` times and returns each call's duration in
   microseconds. */
std::vector<double> TimeCalls(int times, const std::function<void(int)> &call)
{
    std::vector<double> each;
    each.reserve((size_t)times);
    for (int i = 0; i < times; i++) {
        double start = NowMs();
        call(i);
        each.push_back((NowMs() - start) * 1000.0);
    }
    return each;
}

double MeanOf(const std::vector<double> &values)
{
    return Summarise(values).mean;
}

/* Runs in a child process of its own, so that every call crosses a
   process boundary exactly as the program's do: the focus lookup finds
   the parent's window, the posts go to it, the icon goes to the shell.
   The port is opened and set up by the program's own code. */
Costs MeasureCostsHere()
{
    Costs c;
    const int kReads = 1000;

    testbed::PartnerPort out(kCostPort);
    if (!OpenPortDevice(PortNameTable[kCostPort]) || !ConfigureLine(38400) || !out.IsOpen()) {
        fprintf(stderr, "bench: COM3 %s, COM13 %s (error %lu)\n", IsPortOpen() ? "open" : "failed",
                out.IsOpen() ? "open" : "failed", GetLastError());
        Fail("cannot open COM3/COM13 for the call costs");
    }
    HANDLE in = AppState.portHandle;
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

    /* One-byte reads with data waiting, with the program's time-outs. */
    int got = 0;
    std::vector<double> reads = TimeCalls(kReads, [&](int) {
        BYTE b;
        DWORD n = 0;
        ReadFile(in, &b, 1, &n, nullptr);
        got += (int)n;
    });
    if (got == kReads) {
        c.readUs = MeanOf(reads);
        c.readP50Us = Summarise(reads).p50;
    }

    /* The receive wait (it returns at once on a pseudo-terminal). */
    c.waitUs = MeanOf(TimeCalls(50, [&](int) {
        DWORD mask = EV_RXCHAR;
        WaitCommEvent(in, &mask, nullptr);
    }));

    /* The empty read that closes a burst. */
    c.emptyReadMs = TimeCalls(1, [&](int) {
                        BYTE b;
                        DWORD n = 0;
                        ReadFile(in, &b, 1, &n, nullptr);
                    })[0] / 1000.0;
    ClosePort();

    /* The focus lookup, as the worker makes it. */
    DWORD self = GetCurrentThreadId();
    HWND focus = nullptr;
    c.focusUs = MeanOf(TimeCalls(100, [&](int) {
        DWORD target = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
        AttachThreadInput(self, target, TRUE);
        focus = GetFocus();
        AttachThreadInput(self, target, FALSE);
    }));

    /* A burst's worth of posts to that window (the parent drops them). */
    if (focus)
        c.postUs = MeanOf(TimeCalls(BURST_MAX, [&](int i) { PostMessageA(focus, WM_CHAR, (WPARAM)(i & 0xFF), 0); }));

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
        c.iconUs = MeanOf(TimeCalls(40, [&](int i) {
            nid.hIcon = LoadIconA(nullptr, (i & 1) ? IDI_APPLICATION : IDI_INFORMATION);
            Shell_NotifyIconA(NIM_MODIFY, &nid);
        }));
        Shell_NotifyIconA(NIM_DELETE, &nid);
    }
    if (owner)
        DestroyWindow(owner);

    /* What Sleep(50) really takes. */
    c.sleep50Ms = MeanOf(TimeCalls(10, [](int) { Sleep(50); })) / 1000.0;
    return c;
}

int CostsChild(const std::string &file)
{
    Costs c = MeasureCostsHere();
    gJson = fopen(file.c_str(), "w");
    if (!gJson)
        return 1;
    JsonCosts(nullptr, c);
    fclose(gJson);
    return 0;
}

/* Runs the cost measurements in a child process while this one keeps its
   window (the focused one) answering; the child's posts that reach it are
   forgotten. */
Costs MeasureCosts(TargetWindow &target, const std::string &self, const std::string &file)
{
    DeleteFileA(file.c_str());
    std::string commandLine = "\"" + self + "\" --costs \"" + file + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<char> cl(commandLine.begin(), commandLine.end());
    cl.push_back(0);
    if (!CreateProcessA(self.c_str(), cl.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        Fail("cannot start the cost measurement");
    double t0 = NowMs();
    while (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT && NowMs() - t0 < 120000)
        target.Pump(5);
    target.Pump(100);
    target.Clear();
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
    Costs c;
    for (const CostField &field : kCostFields) {
        std::string key = std::string("\"") + field.key + "\":";
        size_t at = text.find(key);
        if (at != std::string::npos)
            c.*field.value = strtod(text.c_str() + at + key.size(), nullptr);
    }
    return c;
}

/* ---------- figure: a long stream (volume, flood) ---------- */

struct StreamRun {
    size_t bytes = 0;           /* to send */
    size_t sent = 0;            /* taken by the cable */
    bool writerOk = false;
    double startMs = NAN;       /* first write */
    double endWriteMs = NAN;    /* last write returned */
    size_t received = 0;
    size_t mismatched = 0;      /* of the bytes received, those not as sent */
    double lastCharMs = NAN;
};

/* Sends `data` from a writer thread, in writes of `chunk` bytes that are
   tried again while the cable is full, and takes the characters on this
   thread; returns when all came, or when the writer has ended and nothing
   came for `quietMs`. What arrived stays in the target. */
StreamRun SendStream(testbed::PatientWriter &partner, TargetWindow &target, const std::vector<BYTE> &data,
                     size_t chunk, double quietMs)
{
    StreamRun run;
    run.bytes = data.size();
    target.TakeFocus();
    target.Clear();
    {
        testbed::Background writer([&] {
            run.startMs = NowMs();
            run.writerOk = true;
            while (run.sent < data.size()) {
                size_t n = std::min(chunk, data.size() - run.sent);
                size_t done = 0;
                run.writerOk = partner.Write(data.data() + run.sent, n, kStallMs, &done);
                run.sent += done;
                if (!run.writerOk)
                    break;
            }
            run.endWriteMs = NowMs();
        });
        size_t seen = 0;
        double lastChange = NowMs();
        for (;;) {
            target.Pump(20);
            size_t now = target.chars().size();
            if (now >= data.size())
                break;
            if (now != seen) {
                seen = now;
                lastChange = NowMs();
            } else if (NowMs() - lastChange > quietMs && writer.Join(0)) {
                break;
            }
        }
        /* The writer ends within its stall bound. */
        while (!writer.Join(0))
            target.Pump(20);
    }
    const std::vector<TargetWindow::Char> &chars = target.chars();
    run.received = chars.size();
    for (size_t i = 0; i < run.received && i < data.size(); i++)
        run.mismatched += (BYTE)chars[i].wParam != data[i];
    if (!chars.empty())
        run.lastCharMs = chars.back().ms;
    return run;
}

/* Seconds from the first write to the last character. */
double StreamSeconds(const StreamRun &run)
{
    return (run.lastCharMs - run.startMs) / 1000.0;
}

void JsonStream(const StreamRun &run)
{
    JsonNum("bytes", (double)run.bytes);
    JsonNum("received", (double)run.received);
    JsonNum("sent", (double)run.sent);
    JsonNum("lost_bytes", (double)run.sent - (double)std::min(run.received, run.sent));
    JsonNum("extra_bytes", run.received > run.bytes ? (double)(run.received - run.bytes) : 0);
    JsonNum("mismatched", (double)run.mismatched);
    JsonNum("writer_ok", run.writerOk);
    JsonNum("write_seconds", (run.endWriteMs - run.startMs) / 1000.0);
    JsonNum("seconds", StreamSeconds(run));
}

/* Bursts, as the target saw them: runs of characters separated by the
   worker's delivery pause. The span of a burst is the time its posts
   took; the gap is the pause, the icon updates, the wait and the reads of
   the next burst. */
struct Bursts {
    std::vector<double> bytes, spanMs, gapMs, postUs;
};

Bursts SplitFlood(const std::vector<TargetWindow::Char> &chars)
{
    Bursts b;
    size_t runStart = 0;
    for (size_t i = 1; i <= chars.size(); i++) {
        if (i < chars.size() && chars[i].ms - chars[i - 1].ms <= 40)
            continue;
        size_t n = i - runStart;
        double span = chars[i - 1].ms - chars[runStart].ms;
        b.bytes.push_back((double)n);
        b.spanMs.push_back(span);
        if (n > 1)
            b.postUs.push_back(span * 1000.0 / (double)(n - 1));
        if (i < chars.size())
            b.gapMs.push_back(chars[i].ms - chars[i - 1].ms);
        runStart = i;
    }
    return b;
}

/* ---------- figure: the latency of single scans ---------- */

struct ScanResult {
    double latencyMs;     /* last byte written -> first WM_CHAR */
    double lastMs;        /* last byte written -> last WM_CHAR */
    double delayMs;       /* previous scan's first WM_CHAR -> this write */
    double writtenUnix;   /* system clock when the write returned */
};

struct ScanRun {
    int scans = 0;
    int lost = 0;         /* bytes that never came */
    int wrong = 0;        /* scans that came changed */
    std::vector<ScanResult> results;
};

/* Writes `count` scans, one at a time, each at a random moment of the
   reader's cycle after the previous delivery, and times their arrival. */
ScanRun RunScans(testbed::PatientWriter &partner, TargetWindow &target, testbed::Random &rnd, int first,
                 int count)
{
    ScanRun run;
    run.scans = count;
    double lastFirstChar = NAN;
    for (int i = first; i < first + count; i++) {
        if ((i - first) % 20 == 0)
            target.TakeFocus();
        double d = 80 + rnd.Below(kCycleMs * 1000) / 1000.0;
        double wait = std::isnan(lastFirstChar) ? d : lastFirstChar + d - NowMs();
        if (wait > 0)
            target.Pump((DWORD)std::lround(wait));
        std::string scan = testbed::DigitScan((uint32_t)i);
        target.Clear();
        double before = NowMs();
        if (!partner.Write(reinterpret_cast<const BYTE *>(scan.data()), scan.size(), 5000))
            Fail("write to COM12 failed");
        double written = NowMs();
        double writtenUnix = UnixSeconds();
        if (!target.WaitForChars(scan.size(), 3000)) {
            run.lost += (int)(scan.size() - target.chars().size());
            lastFirstChar = NAN;
            continue;
        }
        const std::vector<TargetWindow::Char> &chars = target.chars();
        if (target.Text().compare(0, scan.size(), scan) != 0)
            run.wrong++;
        ScanResult r;
        r.latencyMs = chars.front().ms - written;
        r.lastMs = chars[scan.size() - 1].ms - written;
        r.delayMs = std::isnan(lastFirstChar) ? NAN : before - lastFirstChar;
        r.writtenUnix = writtenUnix;
        run.results.push_back(r);
        lastFirstChar = chars.front().ms;
    }
    target.WaitForQuiet(500, 3000);
    return run;
}

void JsonScans(const ScanRun &run)
{
    std::vector<double> latency, last, delay, unix;
    for (const ScanResult &r : run.results) {
        latency.push_back(r.latencyMs);
        last.push_back(r.lastMs);
        delay.push_back(r.delayMs);
        unix.push_back(r.writtenUnix);
    }
    JsonNum("scans", run.scans);
    JsonNum("lost_bytes", run.lost);
    JsonNum("wrong_scans", run.wrong);
    JsonStats("first_char_ms", latency);
    JsonStats("last_char_ms", last);
    JsonArray("samples_ms", latency);
    JsonArray("delay_ms", delay);
    JsonArray("written_unix", unix, "%.6f");
}

/* ---------- the run ---------- */

int Run(const Options &opt, const std::string &self)
{
    SaveSettingsKey();
    gOnFail = RestoreSettingsKey;
    gJson = fopen(opt.out.c_str(), "w");
    if (!gJson)
        Fail("cannot write the output file");
    testbed::Random rnd(opt.seed);
    std::string costsFile = opt.out + ".costs";

    TargetWindow target;
    if (!target.hwnd())
        Fail("cannot create the target window");
    if (!target.TakeFocus())
        fprintf(stderr, "bench: warning: the target window did not get the focus\n");

    JsonBegin(nullptr);
    JsonNum("seed", opt.seed);
    JsonStr("exe", testbed::TavrinExePath());

    testbed::PatientWriter partner(kProgramPort);
    if (!partner.IsOpen())
        Fail("cannot open the partner port COM12");

    /* startup */
    Instance prog;
    if (!StartInstance(prog, kProgramPort, testbed::kSpeed38400))
        Fail("the program did not start (window and tray icon)");
    DWORD pid = prog.process.pid();
    JsonBegin("startup");
    JsonNum("window_ms", prog.windowMs - prog.startMs);
    JsonNum("icon_ms", prog.iconMs - prog.startMs);
    JsonNum("ready_ms", prog.readyMs - prog.startMs);
    JsonEnd();

    /* footprint after start, once the program has settled */
    target.Pump(1500);
    target.TakeFocus();
    testbed::ProcessFigures atStart = testbed::ReadProcessFigures(pid);
    Mark(opt, target, "started", Pids(prog, nullptr), 10000);

    /* latency */
    JsonBegin("latency");
    JsonScans(RunScans(partner, target, rnd, 0, opt.scans));
    JsonEnd();

    /* volume: many scans back to back */
    {
        std::vector<BYTE> data;
        for (int i = 0; i < opt.volume; i++) {
            std::string s = testbed::DigitScan((uint32_t)i);
            data.insert(data.end(), s.begin(), s.end());
        }
        StreamRun run = SendStream(partner, target, data, 13 * 16, 10000);
        target.Pump(1000);
        testbed::ProcessFigures afterVolume = testbed::ReadProcessFigures(pid);
        Mark(opt, target, "volume-end", Pids(prog, nullptr), 10000);
        JsonBegin("volume");
        JsonNum("scans", opt.volume);
        JsonStream(run);
        JsonEnd();
        JsonFootprint("footprint_start", atStart);
        JsonFootprint("footprint_after_volume", afterVolume);
    }

    /* flood: throughput ceiling, with the call costs taken just before
       and just after it under the same conditions */
    Costs before = MeasureCosts(target, self, costsFile);
    {
        std::vector<BYTE> data = testbed::PatternBytes(opt.flood, opt.seed);
        Mark(opt, target, "flood-begin", Pids(prog, nullptr), 10000);
        testbed::ProcessFigures s0 = testbed::ReadProcessFigures(pid);
        StreamRun run = SendStream(partner, target, data, 4096, 10000);
        testbed::ProcessFigures s1 = testbed::ReadProcessFigures(pid);
        Mark(opt, target, "flood-end", Pids(prog, nullptr), 10000);
        Bursts bursts = SplitFlood(target.chars());
        target.Clear();
        Costs after = MeasureCosts(target, self, costsFile);

        double rate = (double)run.received / StreamSeconds(run);
        double readUs = (before.readUs + after.readUs) / 2;
        double postUs = (before.postUs + after.postUs) / 2;
        double pauseSec = 0.050;
        /* The ceiling of a worker that pauses 50 ms after each burst of
           BURST_MAX reads and posts, with the posts' cost from the costs
           child, with the other calls of a pass added, and with the
           posts' cost as the flood itself showed it (burst span per byte):
           what that last formula leaves out is then only the icon
           updates, the receive wait and the focus lookup. */
        auto ceiling = [&](double perByteUs, double perBurstUs) {
            return BURST_MAX / (pauseSec + BURST_MAX * perByteUs * 1e-6 + perBurstUs * 1e-6);
        };
        double model = ceiling(readUs + postUs, 0);
        double fullModel = ceiling(readUs + postUs, (before.waitUs + after.waitUs) / 2 +
                                                        (before.focusUs + after.focusUs) / 2 +
                                                        (before.iconUs + after.iconUs));
        double inSitu = ceiling(readUs + Summarise(bursts.postUs).p50, 0);
        JsonCosts("costs_before", before);
        JsonCosts("costs_after", after);
        JsonBegin("flood");
        JsonStream(run);
        JsonNum("bytes_per_s", rate);
        JsonNum("line_rate_ratio", rate / 3840.0);
        JsonNum("read_us", readUs);
        JsonNum("post_us", postUs);
        JsonNum("model_ceiling_bytes_per_s", model);
        JsonNum("model_ratio", rate / model);
        JsonNum("full_model_ceiling_bytes_per_s", fullModel);
        JsonNum("full_model_ratio", rate / fullModel);
        JsonNum("in_situ_model_ceiling_bytes_per_s", inSitu);
        JsonNum("in_situ_model_ratio", rate / inSitu);
        JsonNum("wine_cpu_ms", s1.cpuMs - s0.cpuMs);
        JsonStats("burst_bytes", bursts.bytes);
        JsonStats("burst_span_ms", bursts.spanMs);
        JsonStats("gap_ms", bursts.gapMs);
        JsonStats("post_us_in_situ", bursts.postUs);
        JsonEnd();
    }
    target.Pump(1000);
    JsonFootprint("footprint_after_flood", testbed::ReadProcessFigures(pid));

    /* idle: the same instance with its port open, and a second one with
       no port, side by side over the same window */
    Instance noport;
    if (!StartInstance(noport, kAbsentPort, testbed::kSpeed38400))
        Fail("the no-port instance did not start");
    target.TakeFocus();
    target.Pump(2500);
    {
        testbed::ProcessFigures a0 = testbed::ReadProcessFigures(pid);
        testbed::ProcessFigures b0 = testbed::ReadProcessFigures(noport.process.pid());
        Mark(opt, target, "idle-begin", Pids(prog, &noport), 10000);
        double t0 = NowMs();
        target.Pump((DWORD)(opt.idleSeconds * 1000.0));
        testbed::ProcessFigures a1 = testbed::ReadProcessFigures(pid);
        testbed::ProcessFigures b1 = testbed::ReadProcessFigures(noport.process.pid());
        Mark(opt, target, "idle-end", Pids(prog, &noport), 10000);
        double wall = NowMs() - t0;
        JsonBegin("idle");
        JsonNum("seconds", wall / 1000.0);
        JsonNum("port_open_wine_cpu_ms", a1.cpuMs - a0.cpuMs);
        JsonNum("no_port_wine_cpu_ms", b1.cpuMs - b0.cpuMs);
        JsonFootprint("no_port_footprint", b1);
        JsonEnd();
    }

    /* trace: scripts/bench attaches strace to both instances, counts the
       reader passes over a quiet window and then sees where in its cycle
       the worker was when each of a few more scans was written */
    if (!opt.handshake.empty() && opt.traceSeconds > 0) {
        Mark(opt, target, "trace-begin", Pids(prog, &noport), 30000);
        double quietBegin = UnixSeconds();
        target.Pump((DWORD)(opt.traceSeconds * 1000.0));
        double quietEnd = UnixSeconds();
        ScanRun traced = RunScans(partner, target, rnd, opt.scans, opt.tracedScans);
        Mark(opt, target, "trace-end", Pids(prog, &noport), 30000);
        JsonBegin("traced");
        JsonTime("quiet_begin_unix", quietBegin);
        JsonTime("quiet_end_unix", quietEnd);
        JsonScans(traced);
        JsonEnd();
    }
    JsonFootprint("footprint_end", testbed::ReadProcessFigures(pid));

    /* close */
    Mark(opt, target, "closing", Pids(prog, &noport), 10000);
    DWORD code = 99, noportCode = 99;
    JsonBegin("close");
    JsonNum("port_open_ms", CloseInstance(prog, &code));
    JsonNum("no_port_ms", CloseInstance(noport, &noportCode));
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
                        "       [--idle SECONDS] [--trace SECONDS] [--traced-scans N] [--handshake DIR]\n"
                        "       [--seed N]\n");
        return 2;
    }
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    return Run(opt, self);
}
