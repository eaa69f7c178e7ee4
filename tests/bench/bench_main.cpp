/*
 * tavrin_bench: measures the program from outside, as a user's machine
 * sees it: it starts tavrin.exe as a process of its own, owns the focused
 * window that receives the characters and writes to COM12, the far end of
 * COM2's cable. One invocation is one run: start-up, latency (scans at
 * random moments), volume (scans back to back), flood (a stream as fast as
 * the cable takes it), idle (with a second instance that has no port),
 * trace (a quiet window and a few scans, while scripts/bench traces both
 * instances), close, and then the same scans and a shorter stream typed
 * as key presses (a third instance, started with Keys = 1). It writes raw samples only; scripts/bench adds
 * what Linux saw at each mark, and scripts/lib/bench_report.py computes
 * every figure.
 */
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/census.h"
#include "support/program.h"
#include "support/streams.h"
#include "support/timing.h"

using testbed::NowMs;
using testbed::TargetWindow;

namespace {

struct Options {
    std::string out;
    std::string handshake;     /* directory shared with scripts/bench */
    double scans = 200, volume = 10000, flood = 1 << 20, idleSeconds = 60, traceSeconds = 10, tracedScans = 40,
           keyScans = 100, keyVolume = 1000, seed = 1;
};

const int kProgramPort = 2;
const int kAbsentPort = 4;
const int kCycleMs = 300;           /* empty read (100 ms) + pause (200 ms) */
const DWORD kStallMs = 60000;       /* a writer gives up after this long without progress */
const double kQuietMs = 10000;      /* a stream has ended when nothing came for this long */

/* The settings the run found, put back when it ends or fails so that the
   program's next start (a test, say) sees them. A failed run leaves no
   instance behind: each runs in a job that goes with this process. */
const char *const kSavedNames[] = {"Port", "Baud", "Keys"};
DWORD gSaved[3];
bool gHad[3];

void RestoreSettingsKey()
{
    testbed::DeleteSettingsKey();
    for (int i = 0; i < 3; i++)
        if (gHad[i])
            testbed::SetSettingDword(kSavedNames[i], gSaved[i]);
}

void Fail(const std::string &what)
{
    fprintf(stderr, "bench: %s\n", what.c_str());
    fflush(stderr);
    RestoreSettingsKey();
    ExitProcess(1);
}

/* The output: one JSON object of numbers and lists of numbers, with keys
   "<group>.<name>", the group being the phase that measured them. */
FILE *gJson;
const char *gJsonGroup = "run";
const char *gJsonComma = "{\n";

void JsonKey(const char *name)
{
    fprintf(gJson, "%s\"%s.%s\": ", gJsonComma, gJsonGroup, name);
    gJsonComma = ",\n";
}
/* One number, null unless finite; "%.6f" suits a time on the system clock
   in seconds. */
void JsonValue(double value, const char *format = "%.10g")
{
    if (std::isfinite(value))
        fprintf(gJson, format, value);
    else
        fputs("null", gJson);
}
void JsonNums(std::initializer_list<std::pair<const char *, double>> fields)
{
    for (const auto &field : fields) {
        JsonKey(field.first);
        JsonValue(field.second);
    }
}
void JsonArray(const char *key, const std::vector<double> &values, const char *format = "%.4f")
{
    JsonKey(key);
    for (size_t i = 0; i < values.size(); i++) {
        fputs(i ? ", " : "[", gJson);
        JsonValue(values[i], format);
    }
    fputs(values.empty() ? "[]" : "]", gJson);
}

/* The program's footprint, as the system's process list gives it. */
void JsonFootprint(const char *group, DWORD pid)
{
    testbed::ProcessFigures f = testbed::ReadProcessFigures(pid);
    auto known = [&](double value) { return f.found ? value : NAN; };
    gJsonGroup = group;
    JsonNums({{"threads", known(f.threads)}, {"handles", known(f.handles)}, {"private_kib", known(f.privateKiB)}});
}

/* Seconds since 1970 on the system clock, the clock strace stamps its
   lines with, so that a write can be placed in a trace of the program. */
double UnixSeconds()
{
    return (double)(testbed::FileTimeNow() - 116444736000000000ull) / 1e7;
}

/* Starts the program with the given settings and returns the
   milliseconds from just before the start until its window and its tray
   icon appeared, polled every millisecond so that the figures stay sharp;
   then waits until it is ready. The icon is added before the reader
   starts, so only the shell's drawing of it may still be on its way when
   the program is ready. */
std::pair<double, double> StartInstance(testbed::TavrinProcess &process, int port, bool keys = false)
{
    testbed::StoreSettings(port, testbed::kSpeed38400);
    if (keys)
        testbed::SetSettingDword("Keys", 1);
    size_t tips = testbed::TrayIconTips().size();
    double start = NowMs(), windowMs = NAN, iconMs = NAN;
    if (!process.Start())
        Fail("start-up: cannot start " + std::string(testbed::TavrinExePath()));
    while ((std::isnan(windowMs) || std::isnan(iconMs)) && process.IsRunning() && NowMs() - start < 10000) {
        if (std::isnan(windowMs) && testbed::FindTavrinWindow(process.pid()))
            windowMs = NowMs() - start;
        if (std::isnan(iconMs) && testbed::TrayIconTips().size() > tips)
            iconMs = NowMs() - start;
        Sleep(1);
    }
    ::testing::AssertionResult ready = process.WaitForReady();
    if (!ready)
        Fail(std::string("start-up: ") + ready.message());
    if (std::isnan(windowMs) || std::isnan(iconMs))
        Fail(std::string("start-up: within 10 s its window ") + (std::isnan(windowMs) ? "unseen" : "seen") +
             ", its tray icon " + (std::isnan(iconMs) ? "unseen" : "seen") + " (taskbar " +
             (testbed::FindTaskbar() ? "present" : "missing") + ")");
    return {windowMs, iconMs};
}

/* Leaves `<dir>\mark-<name>` and waits, bounded, for the script's
   `<dir>\ack-<name>`, answering the target's messages meanwhile; without
   --handshake it does nothing. The script reads Linux-side figures at
   each mark. */
void Mark(const Options &opt, const char *name, DWORD boundMs = 10000)
{
    if (opt.handshake.empty())
        return;
    std::string ack = opt.handshake + "\\ack-" + name;
    FILE *mark = fopen((opt.handshake + "\\mark-" + name).c_str(), "w");
    if (mark)
        fclose(mark);
    ::testing::AssertionResult answered = testbed::PumpUntil(
        std::string("scripts/bench's answer to mark ") + name,
        [&] { return GetFileAttributesA(ack.c_str()) != INVALID_FILE_ATTRIBUTES; }, boundMs);
    if (!answered)
        fprintf(stderr, "bench: %s\n", answered.message());
}

/* Sends `data` from a writer thread, in writes of `chunk` bytes that are
   tried again while the cable is full, and takes the characters on this
   thread until all came, or until the writer has ended and nothing came
   for kQuietMs. Writes how many bytes it was to send and what came, under
   the current group; what arrived stays in the target. */
void SendStream(testbed::PatientWriter &partner, TargetWindow &target, const std::vector<BYTE> &data, size_t chunk)
{
    size_t sent = 0;
    bool writerOk = true;
    double startMs = NAN;
    target.TakeFocus();
    target.Clear();
    {
        testbed::Background writer([&] {
            startMs = NowMs();
            while (writerOk && sent < data.size()) {
                size_t done = 0;
                writerOk = partner.Write(data.data() + sent, std::min(chunk, data.size() - sent), kStallMs, &done);
                sent += done;
            }
        });
        /* A bound no run comes near: the line's time for the data at a tenth
           of its rate, the writer's stall bound and the quiet span. */
        const DWORD boundMs = (DWORD)((double)data.size() * 10 * 1000 / testbed::kLineRate + kQuietMs) + kStallMs;
        size_t seen = 0;
        double lastChange = NowMs();
        testbed::PumpUntil(
            "every byte, or the line quiet after the writer ended",
            [&] {
                if (target.chars().size() != seen) {
                    seen = target.chars().size();
                    lastChange = NowMs();
                }
                return seen >= data.size() || (NowMs() - lastChange > kQuietMs && writer.Join(0));
            },
            boundMs);
        /* The writer gives up within its stall bound. */
        testbed::PumpUntil("the writer to end", [&] { return writer.Join(0); }, 2 * kStallMs);
    }
    const std::vector<TargetWindow::Char> &chars = target.chars();
    size_t mismatched = 0;
    for (size_t i = 0; i < chars.size() && i < data.size(); i++)
        mismatched += (BYTE)chars[i].wParam != data[i];
    JsonNums({{"bytes", (double)data.size()}, {"received", (double)chars.size()}, {"mismatched", (double)mismatched},
              {"seconds", chars.empty() ? NAN : (chars.back().ms - startMs) / 1000.0}});
}

/* `count` digit scans back to back (SendStream, in writes of 16 scans),
   with their count under the current group. */
void SendScans(testbed::PatientWriter &partner, TargetWindow &target, double count)
{
    std::string scans;
    for (int i = 0; i < (int)count; i++)
        scans += testbed::DigitScan((uint32_t)i);
    JsonNums({{"scans", count}});
    SendStream(partner, target, testbed::ToBytes(scans), 13 * 16);
}

/* The flood's bursts, as the target saw them: runs of characters
   separated by the worker's delivery pause. A burst's span is the time its
   posts took; the gap before it holds the pause, the icon updates, the
   wait and the reads. */
void JsonBursts(const std::vector<TargetWindow::Char> &chars)
{
    std::vector<double> bytes, spanMs, gapMs;
    for (const testbed::Burst &burst : testbed::FindBursts(chars, 40)) {
        bytes.push_back((double)burst.text.size());
        spanMs.push_back(burst.lastMs - burst.firstMs);
        gapMs.push_back(gapMs.empty() ? NAN : burst.gapBeforeMs);
    }
    JsonArray("burst_bytes", bytes, "%.0f");
    JsonArray("burst_span_ms", spanMs);
    JsonArray("burst_gap_ms", gapMs);
}

/* Writes `count` scans, one at a time, each at a random moment of the
   reader's cycle after the previous delivery, and writes, for each scan
   that came, the time from its last byte written to its first and to its
   last WM_CHAR, and the system clock when its write returned. */
void RunScans(testbed::PatientWriter &partner, TargetWindow &target, testbed::Random &rnd, int first, int count)
{
    int lost = 0, wrong = 0;
    std::vector<double> latencyMs, lastMs, writtenUnix;
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
        if (!partner.Write(reinterpret_cast<const BYTE *>(scan.data()), scan.size(), 5000))
            Fail("write to COM12 failed");
        double written = NowMs();
        double writtenAt = UnixSeconds();
        lastFirstChar = NAN;
        if (!target.WaitForChars(scan.size(), 3000)) {
            lost += (int)(scan.size() - target.chars().size());
            continue;
        }
        if (target.Text().compare(0, scan.size(), scan) != 0)
            wrong++;
        lastFirstChar = target.chars().front().ms;
        latencyMs.push_back(lastFirstChar - written);
        lastMs.push_back(target.chars()[scan.size() - 1].ms - written);
        writtenUnix.push_back(writtenAt);
    }
    target.WaitForQuiet(500, 3000);
    JsonNums({{"scans", count}, {"lost_bytes", lost}, {"wrong_scans", wrong}});
    JsonArray("samples_ms", latencyMs);
    JsonArray("last_ms", lastMs);
    JsonArray("written_unix", writtenUnix, "%.6f");
}

int Run(const Options &opt)
{
    for (int i = 0; i < 3; i++)
        gHad[i] = testbed::GetSettingDword(kSavedNames[i], &gSaved[i]);
    gJson = fopen(opt.out.c_str(), "w");
    if (!gJson)
        Fail("cannot write the output file");
    testbed::Random rnd((unsigned)opt.seed);

    TargetWindow target;
    if (!target.hwnd())
        Fail("cannot create the target window");
    if (!target.TakeFocus())
        fprintf(stderr, "bench: warning: the target window did not get the focus\n");

    testbed::PatientWriter partner(kProgramPort);
    if (!partner.IsOpen())
        Fail("cannot open the partner port COM12");

    testbed::TavrinProcess prog;
    std::pair<double, double> startup = StartInstance(prog, kProgramPort);
    DWORD pid = prog.pid();
    gJsonGroup = "startup";
    JsonNums({{"window_ms", startup.first}, {"icon_ms", startup.second}});

    target.Pump(1500);   /* the footprint once the program has settled */
    target.TakeFocus();
    JsonFootprint("footprint_start", pid);

    gJsonGroup = "latency";
    RunScans(partner, target, rnd, 0, (int)opt.scans);

    gJsonGroup = "volume";
    SendScans(partner, target, opt.volume);
    target.Pump(1000);
    JsonFootprint("footprint_after_volume", pid);

    Mark(opt, "flood-begin");
    gJsonGroup = "flood";
    SendStream(partner, target, testbed::PatternBytes((size_t)opt.flood, (uint32_t)opt.seed), 4096);
    Mark(opt, "flood-end");
    JsonBursts(target.chars());
    target.Clear();
    target.Pump(1000);
    JsonFootprint("footprint_after_flood", pid);

    testbed::TavrinProcess noport;
    StartInstance(noport, kAbsentPort);
    target.TakeFocus();
    target.Pump(2500);
    Mark(opt, "idle-begin");
    target.Pump((DWORD)(opt.idleSeconds * 1000.0));
    Mark(opt, "idle-end");

    /* trace: its marks wait for strace to attach to every thread of both instances (10 s each) */
    if (!opt.handshake.empty() && opt.traceSeconds > 0) {
        Mark(opt, "trace-begin", 30000);
        gJsonGroup = "traced";
        double quietBegin = UnixSeconds();
        target.Pump((DWORD)(opt.traceSeconds * 1000.0));
        JsonArray("quiet_unix", {quietBegin, UnixSeconds()}, "%.6f");
        RunScans(partner, target, rnd, (int)opt.scans, (int)opt.tracedScans);
        Mark(opt, "trace-end", 30000);
    }
    JsonFootprint("footprint_end", pid);

    /* "Close", until the process ended (10 s at most) */
    auto close = [](testbed::TavrinProcess &process) {
        double t0 = NowMs();
        return testbed::CloseProgram(process.window(), process.process(), 10000) ? NowMs() - t0 : NAN;
    };
    gJsonGroup = "close";
    JsonNums({{"port_open_ms", close(prog)}, {"no_port_ms", close(noport)}});

    /* The same scans and a shorter stream as key presses, side by side
       with the characters above. */
    testbed::TavrinProcess keys;
    StartInstance(keys, kProgramPort, true);
    target.TakeFocus();
    gJsonGroup = "keys_latency";
    RunScans(partner, target, rnd, 0, (int)opt.keyScans);
    gJsonGroup = "keys_volume";
    SendScans(partner, target, opt.keyVolume);
    JsonBursts(target.chars());
    close(keys);
    fputs("\n}\n", gJson);
    fclose(gJson);
    RestoreSettingsKey();
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    const std::pair<const char *, double *> numbers[] = {
        {"--scans", &opt.scans}, {"--volume", &opt.volume}, {"--flood", &opt.flood},
        {"--idle", &opt.idleSeconds}, {"--trace", &opt.traceSeconds}, {"--traced-scans", &opt.tracedScans},
        {"--key-scans", &opt.keyScans}, {"--key-volume", &opt.keyVolume}, {"--seed", &opt.seed}};
    for (int i = 1; i < argc; i += 2) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        auto number = std::find_if(std::begin(numbers), std::end(numbers), [&](const auto &n) { return a == n.first; });
        if (v && a == "--out")
            opt.out = v;
        else if (v && a == "--handshake")
            opt.handshake = v;
        else if (v && number != std::end(numbers))
            *number->second = atof(v);
        else {
            fprintf(stderr, "bench: %s %s\n", a.c_str(), v ? "is not an option" : "needs a value");
            return 2;
        }
    }
    if (opt.out.empty()) {
        fprintf(stderr, "usage: tavrin_bench --out FILE.json [--scans N] [--volume N] [--flood BYTES] [--idle S]\n"
                        "       [--trace S] [--traced-scans N] [--key-scans N] [--key-volume N]\n"
                        "       [--handshake DIR] [--seed N]\n");
        return 2;
    }
    return Run(opt);
}
