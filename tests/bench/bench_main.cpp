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
 *   startup    process start until the hidden window, the tray icon and
 *              readiness (testbed::StartTavrin)
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
 */
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "serial/serial.h"
#include "support/census.h"
#include "support/program.h"
#include "support/streams.h"
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

/* The settings as the run found them, put back at its end so that the
   program's next start (a test, say) sees what it would have seen. */
struct SavedValue {
    const char *name;
    bool present;
    DWORD value;
};
SavedValue gSaved[] = {{"Port", false, 0}, {"Baud", false, 0}};

void RestoreSettingsKey()
{
    testbed::DeleteSettingsKey();
    for (const SavedValue &saved : gSaved)
        if (saved.present)
            testbed::SetSettingDword(saved.name, saved.value);
}

/* What a failed run must not leave behind: the program's instances, and
   the settings it changed. */
std::vector<testbed::TavrinProcess *> gInstances;

void Fail(const std::string &what)
{
    fprintf(stderr, "bench: %s\n", what.c_str());
    fflush(stderr);
    for (testbed::TavrinProcess *instance : gInstances)
        if (instance->IsRunning())
            instance->Kill();
    RestoreSettingsKey();
    ExitProcess(1);
}

/* ---------- output: a tiny JSON writer and summary statistics ---------- */

FILE *gJson;
bool gJsonOpened = true;   /* nothing written yet in the innermost object */

/* Starts a member: the comma after the one before, then its key (none for
   the outermost object). */
void JsonKey(const char *key)
{
    if (!gJsonOpened)
        fputs(",\n", gJson);
    gJsonOpened = false;
    if (key)
        fprintf(gJson, "\"%s\": ", key);
}
void JsonBegin(const char *key)
{
    JsonKey(key);
    fputs("{", gJson);
    gJsonOpened = true;
}
void JsonEnd()
{
    fputs("}", gJson);
    gJsonOpened = false;
}
/* `format` prints one finite value ("%.6f" for a time on the system
   clock, in seconds, to the microsecond); others are null. */
void JsonValue(double value, const char *format)
{
    if (std::isfinite(value))
        fprintf(gJson, format, value);
    else
        fputs("null", gJson);
}
void JsonNum(const char *key, double value, const char *format = "%.10g")
{
    JsonKey(key);
    JsonValue(value, format);
}
/* Numbers as members of the current object, or as an object of their own. */
using JsonFields = std::initializer_list<std::pair<const char *, double>>;
void JsonNums(JsonFields fields)
{
    for (const auto &field : fields)
        JsonNum(field.first, field.second);
}
void JsonObject(const char *key, JsonFields fields)
{
    JsonBegin(key);
    JsonNums(fields);
    JsonEnd();
}
void JsonStr(const char *key, const std::string &value)
{
    JsonKey(key);
    fputs("\"", gJson);
    for (char c : value) {
        if (c == '"' || c == '\\')
            fputc('\\', gJson);
        if ((unsigned char)c >= 0x20)
            fputc(c, gJson);
    }
    fputs("\"", gJson);
}
void JsonArray(const char *key, const std::vector<double> &values, const char *format = "%.4f")
{
    JsonKey(key);
    fputs("[", gJson);
    for (size_t i = 0; i < values.size(); i++) {
        if (i)
            fputs(", ", gJson);
        JsonValue(values[i], format);
    }
    fputs("]", gJson);
}

struct Stats {
    double min = NAN, p50 = NAN, p95 = NAN, max = NAN, mean = NAN;
    size_t n = 0;
};

Stats Summarise(std::vector<double> v)
{
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    /* nearest rank */
    auto at = [&](double q) { return v[std::max<size_t>((size_t)std::ceil(q * (double)v.size()), 1) - 1]; };
    double mean = std::accumulate(v.begin(), v.end(), 0.0) / (double)v.size();
    return {v.front(), at(0.50), at(0.95), v.back(), mean, v.size()};
}

/* The summary of each list of values, as an object under its key. */
void JsonStats(std::initializer_list<std::pair<const char *, const std::vector<double> *>> lists)
{
    for (const auto &list : lists) {
        Stats s = Summarise(*list.second);
        JsonObject(list.first,
                   {{"n", s.n}, {"min", s.min}, {"p50", s.p50}, {"p95", s.p95}, {"max", s.max}, {"mean", s.mean}});
    }
}

/* The program's footprint as the system's process list gives it. */
void JsonFootprint(const char *key, const testbed::ProcessFigures &f)
{
    auto known = [&](double value) { return f.found ? value : NAN; };
    JsonObject(key, {{"cpu_ms", known(f.cpuMs)}, {"threads", known(f.threads)}, {"handles", known(f.handles)},
                     {"working_set_kib", known(f.workingSetKiB)}, {"private_kib", known(f.privateKiB)}});
}

/* Seconds since 1970 on the system clock, the clock strace stamps its
   lines with, so that a write can be placed in a trace of the program. */
double UnixSeconds()
{
    return (double)(testbed::FileTimeNow() - 116444736000000000ull) / 1e7;
}

/* ---------- the program as a process ---------- */

/* Milliseconds from just before the start until the window, the icon and readiness. */
struct Startup {
    double windowMs = NAN, iconMs = NAN, readyMs = NAN;
};

/* Top-level windows of the program's class, of every instance. */
std::vector<HWND> TavrinWindows()
{
    std::vector<HWND> found;
    for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, kWindowClassName, nullptr)) != nullptr;)
        found.push_back(w);
    return found;
}

bool AnyNew(const std::vector<HWND> &now, const std::vector<HWND> &before)
{
    return std::any_of(now.begin(), now.end(),
                       [&](HWND h) { return std::find(before.begin(), before.end(), h) == before.end(); });
}

/* Starts the program with the given settings (testbed::StartTavrin) and
   times it. StartTavrin waits at its own pace; a watcher on a thread of
   its own polls every millisecond for a new window of the program's class
   and a new tray icon tip, so that those figures stay sharp. The icon is
   added before the reader starts, so only the shell's drawing of it may
   still be on its way when the program is ready. */
Startup StartInstance(testbed::TavrinProcess &process, int port)
{
    const DWORD kIconTimeoutMs = 10000;
    testbed::StoreSettings(port, testbed::kSpeed38400);
    gInstances.push_back(&process);
    std::vector<HWND> windows = TavrinWindows(), tips = testbed::TrayIconTips();
    std::atomic<bool> stop{false};
    Startup s;
    double start = NowMs();
    testbed::Background watcher([&] {
        while (!stop && (std::isnan(s.windowMs) || std::isnan(s.iconMs))) {
            if (std::isnan(s.windowMs) && AnyNew(TavrinWindows(), windows))
                s.windowMs = NowMs() - start;
            if (std::isnan(s.iconMs) && AnyNew(testbed::TrayIconTips(), tips))
                s.iconMs = NowMs() - start;
            Sleep(1);
        }
    });
    ::testing::AssertionResult ready = testbed::StartTavrin(process);
    s.readyMs = NowMs() - start;
    bool watched = ready && watcher.Join(kIconTimeoutMs);
    stop = true;
    watcher.Join(INFINITE);
    if (!ready)
        Fail(std::string("start-up: ") + ready.message());
    auto seen = [](double ms) { return std::isnan(ms) ? "unseen" : "seen"; };
    if (!watched)
        Fail("start-up: ready, but " + std::to_string(kIconTimeoutMs) + " ms later its window " + seen(s.windowMs) +
             ", its tray icon " + seen(s.iconMs) + " (taskbar " + (testbed::FindTaskbar() ? "present" : "missing") +
             ")");
    return s;
}

/* Sends "Close"; the milliseconds until the process ended, NAN if not within 10 s. */
double CloseInstance(testbed::TavrinProcess &process, DWORD *exitCode)
{
    double t0 = NowMs();
    return testbed::CloseProgram(process.window(), process.process(), 10000, exitCode) ? NowMs() - t0 : NAN;
}

/* ---------- the handshake with scripts/bench ---------- */

/* Leaves `<dir>\mark-<name>`, with the pids of the instance with its port
   open and of the one with no port (0 while it does not run), and waits,
   bounded, for the script's `<dir>\ack-<name>`, answering the target's
   messages meanwhile; without --handshake it does nothing. The script
   reads Linux-side figures at each mark. */
void Mark(const Options &opt, const char *name, DWORD open, DWORD noport, DWORD boundMs = 10000)
{
    if (opt.handshake.empty())
        return;
    std::string mark = opt.handshake + "\\mark-" + name;
    std::string ack = opt.handshake + "\\ack-" + name;
    std::string tmp = mark + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return;
    fprintf(f, "open=%lu", (unsigned long)open);
    if (noport)
        fprintf(f, " noport=%lu", (unsigned long)noport);
    fputs("\n", f);
    fclose(f);
    MoveFileExA(tmp.c_str(), mark.c_str(), MOVEFILE_REPLACE_EXISTING);
    ::testing::AssertionResult answered = testbed::PumpUntil(
        std::string("scripts/bench's answer to mark ") + name,
        [&] { return GetFileAttributesA(ack.c_str()) != INVALID_FILE_ATTRIBUTES; }, boundMs);
    if (!answered)
        fprintf(stderr, "bench: %s\n", answered.message());
}

/* ---------- figure: the cost of single calls ---------- */

struct Costs {
    double readUs = NAN, readP50Us = NAN, waitUs = NAN, emptyReadMs = NAN;
    double postUs = NAN, focusUs = NAN, iconUs = NAN, sleep50Ms = NAN;
};

void JsonCosts(const char *key, const Costs &c)
{
    JsonObject(key, {{"read_us", c.readUs}, {"read_p50_us", c.readP50Us}, {"wait_us", c.waitUs},
                     {"empty_read_ms", c.emptyReadMs}, {"post_us", c.postUs}, {"focus_us", c.focusUs},
                     {"icon_update_us", c.iconUs}, {"sleep50_ms", c.sleep50Ms}});
}

/* Calls `call` `times` times and returns each call's duration in microseconds. */
std::vector<double> TimeCalls(int times, const std::function<void(int)> &call)
{
    std::vector<double> each;
    for (int i = 0; i < times; i++) {
        double start = NowMs();
        call(i);
        each.push_back((NowMs() - start) * 1000.0);
    }
    return each;
}

double MeanCallUs(int times, const std::function<void(int)> &call)
{
    return Summarise(TimeCalls(times, call)).mean;
}

/* Runs in a child process of its own, so that every call crosses a
   process boundary exactly as the program's do: the focus lookup finds
   the parent's window, the posts go to it, the icon goes to the shell.
   The port is opened and set up, and the icon updated, by the program's
   own code. */
Costs MeasureCostsHere()
{
    Costs c;
    const int kReads = 1000;

    testbed::PartnerPort out(kCostPort);
    if (!OpenPortDevice(PortNameTable[kCostPort]) || !ConfigureLine(38400) || !out.IsOpen()) {
        /* The parent's run fails when no costs come back. */
        fprintf(stderr, "bench: cannot open COM3/COM13 for the call costs: COM3 %s, COM13 %s (error %lu)\n",
                IsPortOpen() ? "open" : "failed", out.IsOpen() ? "open" : "failed", GetLastError());
        ExitProcess(1);
    }
    HANDLE in = AppState.portHandle;
    PurgeComm(in, PURGE_RXCLEAR | PURGE_TXCLEAR);
    std::vector<BYTE> data(kReads, 'x');
    out.Write(data.data(), data.size());
    testbed::WaitUntil("the cable to carry the bytes to read before timing",
                       [&] { return testbed::InputQueued(in) == (DWORD)kReads; }, 2000);

    /* One-byte reads with data waiting, with the program's time-outs. */
    int got = 0;
    auto readByte = [&](int) {
        BYTE b;
        DWORD n = 0;
        ReadFile(in, &b, 1, &n, nullptr);
        got += (int)n;
    };
    Stats reads = Summarise(TimeCalls(kReads, readByte));
    if (got == kReads) {
        c.readUs = reads.mean;
        c.readP50Us = reads.p50;
    }

    /* The receive wait (it returns at once on a pseudo-terminal). */
    c.waitUs = MeanCallUs(50, [&](int) {
        DWORD mask = EV_RXCHAR;
        WaitCommEvent(in, &mask, nullptr);
    });

    /* The empty read that closes a burst. */
    c.emptyReadMs = TimeCalls(1, readByte)[0] / 1000.0;
    ClosePort();

    /* The focus lookup, as the worker makes it. */
    DWORD self = GetCurrentThreadId();
    HWND focus = nullptr;
    c.focusUs = MeanCallUs(100, [&](int) {
        DWORD target = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
        AttachThreadInput(self, target, TRUE);
        focus = GetFocus();
        AttachThreadInput(self, target, FALSE);
    });

    /* A burst's worth of posts to that window (the parent drops them). */
    if (focus)
        c.postUs = MeanCallUs(BURST_MAX, [&](int i) { PostMessageA(focus, WM_CHAR, (WPARAM)(i & 0xFF), 0); });

    /* One icon update, alternately active and ready, on an icon of a
       window of this process. */
    AppState.instance = GetModuleHandleA(nullptr);
    AppState.mainWindow = CreateWindowExA(0, "STATIC", "bench icon owner", 0, 0, 0, 0, 0, nullptr, nullptr,
                                          AppState.instance, nullptr);
    NOTIFYICONDATAA record;
    FillTrayRecord(&record, 1);
    if (AppState.mainWindow && Shell_NotifyIconA(NIM_ADD, &record)) {
        c.iconUs = MeanCallUs(40, [](int i) {
            AppState.transferActive = i & 1;
            UpdateTrayIcon(1);
        });
        RemoveTrayIcon();
    }
    if (AppState.mainWindow)
        DestroyWindow(AppState.mainWindow);

    /* What Sleep(50) really takes. */
    c.sleep50Ms = MeanCallUs(10, [](int) { Sleep(50); }) / 1000.0;
    return c;
}

/* The child hands its costs to the parent as the record's bytes: both
   sides are this program. */
int CostsChild(const char *file)
{
    Costs c = MeasureCostsHere();
    FILE *f = fopen(file, "wb");
    bool written = f && fwrite(&c, sizeof c, 1, f) == 1;
    if (f)
        fclose(f);
    return written ? 0 : 1;
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
    if (!CreateProcessA(self.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        Fail("cannot start the cost measurement");
    testbed::PumpUntil(
        "the cost measurement to end", [&] { return WaitForSingleObject(pi.hProcess, 0) != WAIT_TIMEOUT; }, 120000);
    /* Its last posts may still be on their way. */
    target.Pump(100);
    target.Clear();
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);

    Costs c;
    FILE *f = fopen(file.c_str(), "rb");
    bool read = f && fread(&c, sizeof c, 1, f) == 1;
    if (f)
        fclose(f);
    if (!read)
        Fail("the cost measurement wrote nothing");
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
            while (run.writerOk && run.sent < data.size()) {
                size_t done = 0;
                run.writerOk = partner.Write(data.data() + run.sent, std::min(chunk, data.size() - run.sent), kStallMs,
                                             &done);
                run.sent += done;
            }
            run.endWriteMs = NowMs();
        });
        /* A bound that no run comes near: the line's time for the data at a
           tenth of its rate, the writer's stall bound and the quiet span. A
           stream ends long before it, when every byte has come. */
        const DWORD boundMs = (DWORD)((double)data.size() * 10 * 1000 / testbed::kLineRate + quietMs) + kStallMs;
        size_t seen = 0;
        double lastChange = NowMs();
        testbed::PumpUntil(
            "every byte, or the line quiet after the writer ended",
            [&] {
                if (target.chars().size() != seen) {
                    seen = target.chars().size();
                    lastChange = NowMs();
                }
                return seen >= data.size() || (NowMs() - lastChange > quietMs && writer.Join(0));
            },
            boundMs);
        /* The writer gives up within its stall bound. */
        testbed::PumpUntil("the writer to end", [&] { return writer.Join(0); }, 2 * kStallMs);
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
    JsonNums({{"bytes", run.bytes}, {"received", run.received}, {"sent", run.sent},
              {"lost_bytes", (double)run.sent - (double)std::min(run.received, run.sent)},
              {"extra_bytes", run.received > run.bytes ? (double)(run.received - run.bytes) : 0},
              {"mismatched", run.mismatched}, {"writer_ok", run.writerOk},
              {"write_seconds", (run.endWriteMs - run.startMs) / 1000.0}, {"seconds", StreamSeconds(run)}});
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
    for (const testbed::Burst &burst : testbed::FindBursts(chars, 40)) {
        double size = (double)burst.text.size(), span = burst.lastMs - burst.firstMs;
        if (!b.bytes.empty())
            b.gapMs.push_back(burst.gapBeforeMs);
        b.bytes.push_back(size);
        b.spanMs.push_back(span);
        if (size > 1)
            b.postUs.push_back(span * 1000.0 / (size - 1));
    }
    return b;
}

/* ---------- figure: the latency of single scans ---------- */

/* One entry per scan that came, in each of the four lists. */
struct ScanRun {
    int scans = 0;
    int lost = 0;                        /* bytes that never came */
    int wrong = 0;                       /* scans that came changed */
    std::vector<double> latencyMs;       /* last byte written -> first WM_CHAR */
    std::vector<double> lastMs;          /* last byte written -> last WM_CHAR */
    std::vector<double> delayMs;         /* previous scan's first WM_CHAR -> this write */
    std::vector<double> writtenUnix;     /* system clock when the write returned */
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
        run.latencyMs.push_back(chars.front().ms - written);
        run.lastMs.push_back(chars[scan.size() - 1].ms - written);
        run.delayMs.push_back(std::isnan(lastFirstChar) ? NAN : before - lastFirstChar);
        run.writtenUnix.push_back(writtenUnix);
        lastFirstChar = chars.front().ms;
    }
    target.WaitForQuiet(500, 3000);
    return run;
}

void JsonScans(const ScanRun &run)
{
    JsonNums({{"scans", run.scans}, {"lost_bytes", run.lost}, {"wrong_scans", run.wrong}});
    JsonStats({{"first_char_ms", &run.latencyMs}, {"last_char_ms", &run.lastMs}});
    JsonArray("samples_ms", run.latencyMs);
    JsonArray("delay_ms", run.delayMs);
    JsonArray("written_unix", run.writtenUnix, "%.6f");
}

/* ---------- the run ---------- */

int Run(const Options &opt, const std::string &self)
{
    for (SavedValue &saved : gSaved)
        saved.present = testbed::GetSettingDword(saved.name, &saved.value);
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

    testbed::TavrinProcess prog;
    Startup startup = StartInstance(prog, kProgramPort);
    DWORD pid = prog.pid();
    JsonObject("startup",
               {{"window_ms", startup.windowMs}, {"icon_ms", startup.iconMs}, {"ready_ms", startup.readyMs}});

    /* footprint after start, once the program has settled */
    target.Pump(1500);
    target.TakeFocus();
    testbed::ProcessFigures atStart = testbed::ReadProcessFigures(pid);
    Mark(opt, "started", pid, 0);

    JsonBegin("latency");
    JsonScans(RunScans(partner, target, rnd, 0, opt.scans));
    JsonEnd();

    std::string scans;
    for (int i = 0; i < opt.volume; i++)
        scans += testbed::DigitScan((uint32_t)i);
    JsonBegin("volume");
    JsonNum("scans", opt.volume);
    JsonStream(SendStream(partner, target, testbed::ToBytes(scans), 13 * 16, 10000));
    JsonEnd();
    JsonFootprint("footprint_start", atStart);
    target.Pump(1000);
    JsonFootprint("footprint_after_volume", testbed::ReadProcessFigures(pid));
    Mark(opt, "volume-end", pid, 0);

    Costs before = MeasureCosts(target, self, costsFile);
    {
        Mark(opt, "flood-begin", pid, 0);
        testbed::ProcessFigures s0 = testbed::ReadProcessFigures(pid);
        StreamRun run = SendStream(partner, target, testbed::PatternBytes(opt.flood, opt.seed), 4096, 10000);
        testbed::ProcessFigures s1 = testbed::ReadProcessFigures(pid);
        Mark(opt, "flood-end", pid, 0);
        Bursts bursts = SplitFlood(target.chars());
        target.Clear();
        Costs after = MeasureCosts(target, self, costsFile);

        double rate = (double)run.received / StreamSeconds(run);
        auto mean = [&](double Costs::*cost) { return (before.*cost + after.*cost) / 2; };
        /* The ceiling of a worker that pauses 50 ms after each burst of
           BURST_MAX reads and posts, with the posts' cost from the costs
           child, with the other calls of a pass added, and with the
           posts' cost as the flood itself showed it (burst span per byte):
           what that last formula leaves out is then only the icon
           updates, the receive wait and the focus lookup. */
        auto ceiling = [&](double perByteUs, double perBurstUs) {
            return BURST_MAX / (0.050 + BURST_MAX * perByteUs * 1e-6 + perBurstUs * 1e-6);
        };
        double perByteUs = mean(&Costs::readUs) + mean(&Costs::postUs);
        double model = ceiling(perByteUs, 0);
        double fullModel = ceiling(perByteUs, mean(&Costs::waitUs) + mean(&Costs::focusUs) + 2 * mean(&Costs::iconUs));
        double inSitu = ceiling(mean(&Costs::readUs) + Summarise(bursts.postUs).p50, 0);
        JsonCosts("costs_before", before);
        JsonCosts("costs_after", after);
        JsonBegin("flood");
        JsonStream(run);
        JsonNums({{"bytes_per_s", rate}, {"line_rate_ratio", rate / testbed::kLineRate},
                  {"read_us", mean(&Costs::readUs)}, {"post_us", mean(&Costs::postUs)},
                  {"model_ceiling_bytes_per_s", model}, {"model_ratio", rate / model},
                  {"full_model_ceiling_bytes_per_s", fullModel}, {"full_model_ratio", rate / fullModel},
                  {"in_situ_model_ceiling_bytes_per_s", inSitu}, {"in_situ_model_ratio", rate / inSitu},
                  {"wine_cpu_ms", s1.cpuMs - s0.cpuMs}});
        JsonStats({{"burst_bytes", &bursts.bytes}, {"burst_span_ms", &bursts.spanMs}, {"gap_ms", &bursts.gapMs},
                   {"post_us_in_situ", &bursts.postUs}});
        JsonEnd();
    }
    target.Pump(1000);
    JsonFootprint("footprint_after_flood", testbed::ReadProcessFigures(pid));

    testbed::TavrinProcess noport;
    StartInstance(noport, kAbsentPort);
    DWORD noportPid = noport.pid();
    target.TakeFocus();
    target.Pump(2500);
    testbed::ProcessFigures a0 = testbed::ReadProcessFigures(pid);
    testbed::ProcessFigures b0 = testbed::ReadProcessFigures(noportPid);
    Mark(opt, "idle-begin", pid, noportPid);
    double t0 = NowMs();
    target.Pump((DWORD)(opt.idleSeconds * 1000.0));
    testbed::ProcessFigures a1 = testbed::ReadProcessFigures(pid);
    testbed::ProcessFigures b1 = testbed::ReadProcessFigures(noportPid);
    Mark(opt, "idle-end", pid, noportPid);
    JsonBegin("idle");
    JsonNums({{"seconds", (NowMs() - t0) / 1000.0}, {"port_open_wine_cpu_ms", a1.cpuMs - a0.cpuMs},
              {"no_port_wine_cpu_ms", b1.cpuMs - b0.cpuMs}});
    JsonFootprint("no_port_footprint", b1);
    JsonEnd();

    /* trace: its marks wait for strace to attach to every thread of both instances (10 s each) */
    if (!opt.handshake.empty() && opt.traceSeconds > 0) {
        Mark(opt, "trace-begin", pid, noportPid, 30000);
        JsonBegin("traced");
        JsonNum("quiet_begin_unix", UnixSeconds(), "%.6f");
        target.Pump((DWORD)(opt.traceSeconds * 1000.0));
        JsonNum("quiet_end_unix", UnixSeconds(), "%.6f");
        JsonScans(RunScans(partner, target, rnd, opt.scans, opt.tracedScans));
        JsonEnd();
        Mark(opt, "trace-end", pid, noportPid, 30000);
    }
    JsonFootprint("footprint_end", testbed::ReadProcessFigures(pid));

    Mark(opt, "closing", pid, noportPid);
    DWORD code = 99;
    double openMs = CloseInstance(prog, &code);
    double noportMs = CloseInstance(noport, nullptr);
    JsonObject("close", {{"port_open_ms", openMs}, {"no_port_ms", noportMs}, {"exit_code", code}});

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
    const struct {
        const char *name;
        std::function<void(const char *)> set;
    } kOptions[] = {
        {"--out", [&](const char *v) { opt.out = v; }},
        {"--handshake", [&](const char *v) { opt.handshake = v; }},
        {"--scans", [&](const char *v) { opt.scans = atoi(v); }},
        {"--volume", [&](const char *v) { opt.volume = atoi(v); }},
        {"--flood", [&](const char *v) { opt.flood = (DWORD)strtoul(v, nullptr, 10); }},
        {"--idle", [&](const char *v) { opt.idleSeconds = atof(v); }},
        {"--trace", [&](const char *v) { opt.traceSeconds = atof(v); }},
        {"--traced-scans", [&](const char *v) { opt.tracedScans = atoi(v); }},
        {"--seed", [&](const char *v) { opt.seed = (unsigned)strtoul(v, nullptr, 10); }},
    };
    for (int i = 1; i < argc; i += 2) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (v && a == "--costs")
            return CostsChild(v);
        auto option =
            std::find_if(std::begin(kOptions), std::end(kOptions), [&](const auto &o) { return a == o.name; });
        if (!v || option == std::end(kOptions)) {
            fprintf(stderr, "bench: %s %s\n", a.c_str(), v ? "is not an option" : "needs a value");
            return 2;
        }
        option->set(v);
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
