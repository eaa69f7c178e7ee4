#include "support/program.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "app/app.h"
#include "resource.h"
#include "support/census.h"
#include "support/timing.h"

namespace testbed {

const char *TavrinExePath()
{
    const char *chosen = getenv("TAVRIN_EXE");
    return chosen && *chosen ? chosen : TAVRIN_EXE_PATH;
}

Process::~Process()
{
    if (job_) {
        if (!AllEnded())
            TerminateJobObject(job_, 1);
        CloseHandle(job_);
    }
    if (pi_.hProcess) {
        WaitForSingleObject(pi_.hProcess, 5000);
        CloseHandle(pi_.hThread);
        CloseHandle(pi_.hProcess);
    }
}

bool Process::Start(const std::string &commandLine, DWORD flags)
{
    job_ = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job_ || !SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return false;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back('\0');
    /* Suspended until it is in the job, so that no child escapes it. */
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED | flags, nullptr, nullptr, &si,
                        &pi_))
        return false;
    if (!AssignProcessToJobObject(job_, pi_.hProcess)) {
        DWORD error = GetLastError();
        TerminateProcess(pi_.hProcess, 1);
        SetLastError(error);
        return false;
    }
    ResumeThread(pi_.hThread);
    return true;
}

long Process::Wait(DWORD timeoutMs)
{
    DWORD code = 0;
    if (WaitForSingleObject(pi_.hProcess, timeoutMs) != WAIT_OBJECT_0 || !GetExitCodeProcess(pi_.hProcess, &code))
        return -1;
    return (long)code;
}

bool Process::AllEnded() const
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    return QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr) &&
           info.ActiveProcesses == 0;
}

bool Process::IsRunning() const
{
    return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT;
}

void Process::Kill()
{
    TerminateJobObject(job_, 1);
    WaitForSingleObject(pi_.hProcess, 5000);
}

bool TavrinProcess::Start()
{
    return Process::Start("\"" + std::string(TavrinExePath()) + "\"");
}

HWND FindTavrinWindow(DWORD pid)
{
    if (pid == 0)
        return FindWindowA(kWindowClassName, nullptr);
    std::vector<HWND> windows = ProcessWindows(pid, kWindowClassName);
    return windows.empty() ? nullptr : windows.front();
}

::testing::AssertionResult TavrinProcess::WaitForReady(DWORD timeoutMs)
{
    return testbed::WaitForReady(pid(), process(), timeoutMs, &window_);
}

::testing::AssertionResult WaitForReady(DWORD pid, HANDLE process, DWORD timeoutMs, HWND *window, bool noPortWillDo)
{
    const DWORD start = GetTickCount();
    auto running = [&] { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; };
    /* Each step within what is left of the bound. */
    auto step = [&](const char *what, const std::function<bool()> &done) -> ::testing::AssertionResult {
        DWORD elapsed = GetTickCount() - start;
        ::testing::AssertionResult came = WaitUntil(
            what, [&] { return !running() || done(); }, elapsed < timeoutMs ? timeoutMs - elapsed : 0);
        DWORD code = 0;
        if (running() || !GetExitCodeProcess(process, &code))
            return came;
        return ::testing::AssertionFailure() << "the program ended (exit code " << code << ") before " << what;
    };

    HWND found = nullptr;
    ::testing::AssertionResult ready =
        step("its hidden window", [&] { return (found = FindTavrinWindow(pid)) != nullptr; });
    if (!ready)
        return ready;
    if (window)
        *window = found;
    /* The census needs the window: it finds the program's image by it. */
    ThreadWatcher census(pid);
    if (!census.KnowsImage())
        return ::testing::AssertionFailure() << "the program's image could not be found: its threads cannot be "
                                                "told apart";
    ready = step(noPortWillDo ? "its reader thread or its no-port icon" : "its reader thread (the port has been tried by then)",
                 [&] { return census.Take().readers > 0 || (noPortWillDo && ReadTray().NoPort()); });
    return ready ? step("its main thread to take messages", [&] { return WaitForInputIdle(process, 0) == 0; })
                 : ready;
}

bool CloseProgram(HWND mainWindow, HANDLE process, DWORD timeoutMs)
{
    PostMessageA(mainWindow, WM_COMMAND, IDM_CLOSE, 0);
    return WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
}

::testing::AssertionResult StartTavrin(TavrinProcess &process)
{
    if (!process.Start())
        return ::testing::AssertionFailure() << "could not start " << TavrinExePath() << ", error "
                                             << GetLastError();
    return process.WaitForReady();
}

::testing::AssertionResult StartTavrin(TavrinProcess &process, int port, int speed, TrayState expected)
{
    StoreSettings(port, speed);
    ::testing::AssertionResult ready = StartTavrin(process);
    return ready ? IconShows(expected) : ready;
}

/* How many of the target's characters are `marker`, from `from` on. */
static size_t CountMarkers(const TargetWindow &target, char marker, size_t from)
{
    size_t n = 0;
    for (size_t i = from; i < target.chars().size(); i++)
        n += target.chars()[i].wParam == (WPARAM)(BYTE)marker;
    return n;
}

::testing::AssertionResult SyncReader(PartnerPort &partner, TargetWindow &target, DWORD timeoutMs)
{
    const char kMarker = '~', kClosing = '|';
    const DWORD kRetryMs = 400;   /* a marker written before the purge is lost: write another */
    const double deadline = NowMs() + timeoutMs;
    /* A dialog of the program that just closed may hand the activation
       back to the program's own window. */
    auto focus = [&] {
        if (GetForegroundWindow() != target.hwnd())
            target.TakeFocus();
    };

    size_t from = target.chars().size();
    double nextMarker = 0;
    bool refused = false;
    ::testing::AssertionResult received = PumpUntil(
        "a marker written on the partner port to reach the target (the reader delivers nothing)",
        [&] {
            if (CountMarkers(target, kMarker, from) > 0)
                return true;
            if (NowMs() >= nextMarker) {
                focus();
                refused = !partner.Write(&kMarker, 1);
                nextMarker = NowMs() + kRetryMs;
            }
            return refused;
        },
        timeoutMs);
    if (refused)
        return ::testing::AssertionFailure() << "the partner port refused a marker, error " << GetLastError();
    if (!received)
        return received;

    focus();
    if (!partner.Write(&kClosing, 1))
        return ::testing::AssertionFailure() << "the partner port refused the closing marker, error "
                                             << GetLastError();
    DWORD left = NowMs() < deadline ? (DWORD)(deadline - NowMs()) : 0;
    ::testing::AssertionResult closed = PumpUntil(
        "the closing marker to follow the markers", [&] { return CountMarkers(target, kClosing, from) > 0; }, left);
    if (closed)
        target.Clear();
    return closed;
}

::testing::AssertionResult SendAndSettle(PartnerPort &partner, TargetWindow &target, const std::string &text,
                                         DWORD settleMs)
{
    if (!partner.Write(text))
        return ::testing::AssertionFailure() << "the partner port refused " << text.size() << " bytes, error "
                                             << GetLastError();
    size_t expected = target.chars().size() + text.size();
    if (!target.WaitForChars(expected, kDeliveryTimeoutMs))
        return ::testing::AssertionFailure() << "waited " << kDeliveryTimeoutMs << " ms for the " << text.size()
                                             << " characters written to reach the target, in vain: it has "
                                             << target.chars().size() << " of " << expected << " (\""
                                             << target.Text() << "\")";
    target.Pump(settleMs);
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ScanArrives(int port, const std::string &scan, DWORD syncMs)
{
    PartnerPort partner(port);
    TargetWindow target;
    ::testing::AssertionResult step = SyncReader(partner, target, syncMs);
    if (step)
        step = SendAndSettle(partner, target, scan, 300);
    if (step && target.Text() != scan)
        step = ::testing::AssertionFailure() << "sent \"" << scan << "\", got \"" << target.Text() << "\"";
    if (!step)
        step << " (COM" << port << ")";
    return step;
}

::testing::AssertionResult NothingArrives(int port, const std::string &text)
{
    PartnerPort partner(port);
    TargetWindow target;
    if (!partner.Write(text))
        return ::testing::AssertionFailure() << PartnerName(port) << " refused the bytes, error " << GetLastError();
    target.Pump(600);
    if (target.chars().empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got \"" << target.Text() << "\" from COM" << port;
}

}  // namespace testbed
