/*
 * The reader worker blocked in its receive wait, as it idles on Windows,
 * in this process on the hosted window. Under Wine 8 the program's own
 * read-only handle never blocks there (docs/wine-and-windows.md): the wait
 * returns at once and the worker polls. Here it gets a read-write handle,
 * configured by the program's ConfigureLine, on a cable whose modem-status
 * queries the preloaded shim (tests/tools/pty_modem_shim.c) answers; its
 * wait then blocks until a byte comes.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "resource.h"
#include "serial/serial.h"
#include "settings/settings.h"
#include "support/cable.h"
#include "support/dialogs.h"
#include "support/host.h"
#include "support/program.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

namespace {

const char kShimName[] = "pty_modem_shim.so";
const DWORD kClosingTimeOutMs = 100;     /* ConfigureLine's read time-out: it closes a burst */
const DWORD kLatencyMarginMs = 150;      /* on top of it: the focus lookup, the icon, a loaded machine */
/* Told to stop, a polling worker ends within one pass (an at-once wait, a
   100 ms read, a 200 ms pause); a blocked one never notices. */
const DWORD kBlockedProofMs = 1000;
const DWORD kArrivalTimeoutMs = 4000;    /* a scan reaching the window */
const DWORD kSyncTimeoutMs = 5000;       /* the first marker reaching the window */
const DWORD kForcedExitCode = 0xFFFFFFFF; /* what StopReader's TerminateThread leaves */

/* Empty when this process runs with the shim preloaded; else what is
   missing, for GTEST_SKIP. */
std::string WhyNoShim()
{
    char value[2048];
    DWORD n = GetEnvironmentVariableA("LD_PRELOAD", value, sizeof value);
    std::string preload = (n > 0 && n < sizeof value) ? value : "";
    size_t at = preload.find(kShimName);
    if (at == std::string::npos)
        return "the pty modem-status shim is not preloaded (LD_PRELOAD is \"" + preload + "\"): ctest preloads " +
               kShimName + " in the 64-bit lane, built where the host has gcc";
    size_t begin = preload.find_last_of(": ", at) + 1;   /* npos + 1 is 0: the list starts with it */
    std::string path = preload.substr(begin, at + strlen(kShimName) - begin);
    if (GetFileAttributesA(("Z:" + path).c_str()) == INVALID_FILE_ATTRIBUTES)
        return "the pty modem-status shim " + path + " named in LD_PRELOAD does not exist";
    return "";
}

class BlockedWait : public testbed::HostedWindowTest {
protected:
    void SetUp() override
    {
        HostedWindowTest::SetUp();
        if (std::string why = WhyNoShim(); !why.empty())
            GTEST_SKIP() << why;
    }

    void TearDown() override
    {
        HostedWindowTest::TearDown();
        if (worker_)
            CloseHandle(worker_);
    }

    /* Starts a worker on such a handle on COM1 and shows that it blocks in
       its wait: it types a marker, then, told to stop with nothing
       arriving, does not. */
    void StartBlockedWorker()
    {
        ASSERT_TRUE(partner_.IsOpen()) << testbed::PartnerName(1) << " does not open, error " << GetLastError();
        HANDLE handle = CreateFileA(PortNameTable[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle) << PortNameTable[1] << ", error " << GetLastError();
        AppState.portHandle = handle;
        AppState.portNumber = 1;
        AppState.speedIndex = testbed::kSpeed38400;
        ASSERT_EQ(1, ConfigureLine(SpeedTable[testbed::kSpeed38400].baudRate)) << "error " << GetLastError();
        DWORD modem = 0;
        ASSERT_TRUE(GetCommModemStatus(handle, &modem))
            << "the shim is preloaded but does not answer the modem-status query on " << PortNameTable[1]
            << ", error " << GetLastError();

        StartReader();
        ASSERT_NE(nullptr, AppState.readerThread) << "no worker, error " << GetLastError();
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), AppState.readerThread, GetCurrentProcess(), &worker_,
                                    SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0));
        ASSERT_TRUE(testbed::SyncReader(partner_, target_, kSyncTimeoutMs));
        /* The last marker's delivery ends with the active picture's 50 ms
           and an icon update; only then is the worker back in its wait, where
           a stop must not reach it. The quiet span covers the icon update. */
        ASSERT_TRUE(testbed::PumpUntil("the marker's delivery to end", [] { return AppState.transferActive == 0; },
                                       kSyncTimeoutMs));
        ASSERT_TRUE(target_.WaitForQuiet(300, kSyncTimeoutMs)) << "markers kept coming";
        target_.Clear();

        AppState.readerRun = 0;
        double start = testbed::NowMs();
        bool ended = WaitForSingleObject(worker_, kBlockedProofMs) == WAIT_OBJECT_0;
        double endedAfter = testbed::NowMs() - start;
        AppState.readerRun = 1;
        ASSERT_FALSE(ended) << "told to stop with nothing arriving, the worker ended after " << endedAfter
                            << " ms: its wait returned, so it polls instead of blocking (is the shim answering?)";
    }

    testbed::PartnerPort partner_{1};
    testbed::TargetWindow target_;
    HANDLE worker_ = nullptr;   /* our own handle to the blocked worker */
};

TEST_F(BlockedWait, ScansAreTypedWithinTheClosingTimeOutAndLeaveNoInputAttached)
{
    ASSERT_NO_FATAL_FAILURE(StartBlockedWorker());
    DWORD workerId = GetThreadId(worker_);

    for (uint32_t serial = 1; serial <= 3; serial++) {
        SCOPED_TRACE("scan " + std::to_string(serial));
        std::string scan = testbed::DigitScan(serial);
        target_.Clear();
        ASSERT_TRUE(partner_.Write(scan)) << "error " << GetLastError();
        double lastByte = testbed::NowMs();
        ASSERT_TRUE(target_.WaitForChars(scan.size(), kArrivalTimeoutMs))
            << target_.chars().size() << " of " << scan.size() << " characters arrived within " << kArrivalTimeoutMs
            << " ms";
        double latency = target_.chars().front().ms - lastByte;
        printf("scan %u: first character %.0f ms after the last byte\n", (unsigned)serial, latency);
        EXPECT_EQ(scan, target_.Text());
        EXPECT_LE(latency, (double)(kClosingTimeOutMs + kLatencyMarginMs))
            << "from the last byte to the first character, with the worker blocked in its wait";

        ASSERT_TRUE(testbed::PumpUntil("the delivery to end", [] { return AppState.transferActive == 0; },
                                       kArrivalTimeoutMs));
        /* A thread attached to the target thread's input sees its focus;
           one with an input of its own, and no window, sees none. */
        EXPECT_NE(target_.hwnd(), testbed::ThreadFocus(workerId))
            << "the worker, back in its wait, still shares the target thread's input (it sees the target's focus): "
               "DeliverBurst did not detach after its focus lookup";
    }
}

/* Under Wine 8 StopReader's cancel does not reach the wait (a synchronous
   WaitCommEvent waits on an event of its own while a helper thread polls
   the device; nothing cancellable is pending), so the forced end does the
   work and the worker carries the forced exit code. On Windows the cancel
   ends the wait and the worker ends by itself. */
TEST_F(BlockedWait, StopReaderEndsABlockedWorkerWithinItsBound)
{
    ASSERT_NO_FATAL_FAILURE(StartBlockedWorker());

    DWORD exitCode = STILL_ACTIVE;
    EXPECT_TRUE(testbed::StopReaderWithinBound(&exitCode))
        << "with the worker left in its wait, the next worker would run beside it";
    EXPECT_EQ(kForcedExitCode, exitCode)
        << "the worker ended by itself: Wine's cancel now reaches the wait (update docs/wine-and-windows.md)";
}

TEST_F(BlockedWait, SettingsChangeEndsTheBlockedWorkerAndMovesToTheNewPort)
{
    ASSERT_NO_FATAL_FAILURE(StartBlockedWorker());

    double okMs = -1;
    testbed::ModalDriver driver;
    INT_PTR result = driver.Run(
        ShowSettingsDialog,
        {[](HWND d) { SendMessageA(GetDlgItem(d, IDC_COM2), BM_CLICK, 0, 0); },
         [&okMs](HWND d) {
             double start = testbed::NowMs();
             SendMessageA(GetDlgItem(d, IDOK), BM_CLICK, 0, 0);
             okMs = testbed::NowMs() - start;
         }});
    ASSERT_EQ(IDOK, result) << "the settings dialog did not end by its OK (abandoned: " << driver.abandoned()
                            << ")";
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeThread(worker_, &exitCode);
    printf("settings change with a blocked worker: OK took %.0f ms; the worker's exit code 0x%lX\n", okMs,
           (unsigned long)exitCode);

    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(worker_, 0))
        << "the worker blocked in its wait outlived the settings change";
    EXPECT_LE(okMs, (double)(READER_STOP_TIMEOUT_MS + testbed::kStopSlackMs)) << "applying the change";
    EXPECT_EQ(2, AppState.portNumber);
    ASSERT_EQ(1, IsPortOpen()) << "COM2 did not open";
    ASSERT_NE(nullptr, AppState.readerThread) << "no worker after the change";

    EXPECT_TRUE(testbed::ScanArrives(2, testbed::DigitScan(7), kSyncTimeoutMs)) << "on the new port";
    EXPECT_TRUE(testbed::NothingArrives(1, "old port")) << "bytes on the old port were typed after the change";
}

}  // namespace
