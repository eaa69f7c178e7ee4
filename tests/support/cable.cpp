#include "support/cable.h"

#include <cstdio>
#include <cstdlib>

#include "support/timing.h"

namespace testbed {

std::string PartnerName(int port)
{
    /* Names from COM10 on are device names only in the \\.\ form. */
    char name[16];
    snprintf(name, sizeof name, "\\\\.\\COM%d", port + 10);
    return name;
}

PartnerPort::PartnerPort(int port, DWORD writeTimeoutMs)
    : handle_(CreateFileA(PartnerName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr))
{
    if (handle_ == INVALID_HANDLE_VALUE)
        return;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 38400;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(handle_, &dcb);
    COMMTIMEOUTS timeouts = {};
    timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
    SetCommTimeouts(handle_, &timeouts);
}

PartnerPort::~PartnerPort()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

/* Points the Unix link `link` at `target` with the host's ln, which Wine
   starts as it would a Windows program, and waits until COM4 opens, or
   fails to, as `opens` says. */
static ::testing::AssertionResult PointLink(const std::string &link, const std::string &target, bool opens)
{
    std::string command = "/bin/ln -sfn " + target + " " + link;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA("Z:\\bin\\ln", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return ::testing::AssertionFailure() << "could not run " << command << ", error " << GetLastError();
    /* Wine gives no handle to wait on for a Unix process: its work is
       waited for instead. */
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return WaitUntil(opens ? "COM4 to open, on " + target : "COM4 to be absent again", [&] {
        HANDLE port = CreateFileA("COM4", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        return (port != INVALID_HANDLE_VALUE) == opens;
    }, 10000);
}

PluggedPort::PluggedPort(int live)
{
    const char *prefix = getenv("WINEPREFIX"), *testbed = getenv("TB_DIR");
    if (!prefix || !testbed) {
        plugged_ = ::testing::AssertionFailure() << "WINEPREFIX and TB_DIR name no test bed";
        return;
    }
    link_ = std::string(prefix) + "/dosdevices/com4";
    absent_ = std::string(testbed) + "/absent-com4";
    plugged_ = PointLink(link_, std::string(testbed) + "/com" + std::to_string(live), true);
}

PluggedPort::~PluggedPort()
{
    if (!link_.empty()) {
        EXPECT_TRUE(PointLink(link_, absent_, false)) << "unplugging COM4";
    }
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

bool PatientWriter::Write(const BYTE *data, size_t size, DWORD stallMs, size_t *written)
{
    size_t sink;
    size_t &total = written ? *written : sink;
    total = 0;
    DWORD lastProgress = GetTickCount();
    while (size > 0) {
        DWORD taken = 0;
        BOOL ok = WriteFile(handle_, data, (DWORD)size, &taken, nullptr);
        if (taken > 0) {
            data += taken;
            size -= taken;
            total += taken;
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

DWORD InputQueued(HANDLE port)
{
    DWORD errors = 0;
    COMSTAT stat = {};
    if (!ClearCommError(port, &errors, &stat))
        return (DWORD)-1;
    return stat.cbInQue;
}

::testing::AssertionResult WaitForHeldRead(PartnerPort &partner, HANDLE port, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (const char *which : {"first", "second"}) {
        if (!partner.Write("h", 1))
            return ::testing::AssertionFailure() << "the partner port refused the " << which << " byte, error "
                                                 << GetLastError();
        DWORD elapsed = GetTickCount() - start;
        DWORD queued = 0;
        ::testing::AssertionResult taken = WaitUntil(
            std::string("the worker to take the ") + which + " byte from the input queue",
            [&] { return (queued = InputQueued(port)) == 0; }, elapsed < timeoutMs ? timeoutMs - elapsed : 0);
        if (!taken)
            return taken << "; " << queued << " bytes wait there";
    }
    return ::testing::AssertionSuccess();
}

/* Reads a port's line settings into `dcb` and, unless `rate` is 0, sets
   its rate. */
static bool ProbeLine(int port, DWORD rate, DCB *dcb)
{
    char name[16];
    snprintf(name, sizeof name, "COM%d", port);
    HANDLE h = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    *dcb = {};
    dcb->DCBlength = sizeof *dcb;
    bool ok = GetCommState(h, dcb);
    if (rate) {
        dcb->BaudRate = rate;
        ok = ok && SetCommState(h, dcb);
    }
    CloseHandle(h);
    return ok;
}

bool LineSettings(int port, DCB *dcb)
{
    return ProbeLine(port, 0, dcb);
}

DWORD LineRate(int port)
{
    DCB dcb;
    return ProbeLine(port, 0, &dcb) ? dcb.BaudRate : 0;
}

bool SetLineRate(int port, DWORD rate)
{
    DCB dcb;
    return ProbeLine(port, rate, &dcb);
}

}  // namespace testbed
