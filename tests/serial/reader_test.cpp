/*
 * The reader worker in process, on the test bed's cables: the test's main
 * thread owns a foreground, focused window and pumps its messages; the
 * worker frames what the partner port sends into bursts and posts them to
 * that window. Also starting and stopping the worker within its bounds.
 *
 * Burst boundaries are read from each WM_CHAR's post time
 * (GetMessageTime): a burst is posted in one loop, and consecutive bursts
 * are at least the 50 ms delivery pause apart, whenever the test thread
 * gets round to dispatching them.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "app/app.h"
#include "serial/serial.h"
#include "support/cable.h"
#include "support/program.h"
#include "support/stand_in.h"
#include "support/target.h"
#include "support/timing.h"

namespace {

const DWORD kArrivalTimeoutMs = 4000;   /* a burst reaching the window */
/* Pumped after what should arrive has arrived, to see that nothing more
   comes: absence can only be seen over a span, and this one is longer
   than a reader pass (the 200 ms pause and the 100 ms read time-out). */
const DWORD kQuietMs = 400;
const DWORD kQueueTimeoutMs = 5000;     /* bytes reaching or leaving the port's input queue */
/* Post-time gap that separates bursts: the 50 ms pause after a delivery
   always lies between two bursts, while a loaded machine can stall the
   worker for tens of milliseconds inside one burst's posting loop. */
const DWORD kBurstGapMs = 45;
const DWORD kStopToleranceMs = 1000;    /* on top of StopReader's own bound */
const DWORD kJoinTimeoutMs = 5000;      /* helper threads of the tests */

/* Post times of the WM_CHAR messages reaching the subclassed window, in
   step with TargetWindow::chars(). One target per test process. */
WNDPROC originalTargetProc;
std::vector<DWORD> postTimes;

LRESULT CALLBACK PostTimeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CHAR)
        postTimes.push_back((DWORD)GetMessageTime());
    return CallWindowProcA(originalTargetProc, hwnd, message, wParam, lParam);
}

void RecordPostTimes(HWND hwnd)
{
    postTimes.clear();
    originalTargetProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PostTimeProc)));
}

/* Sizes of the bursts, and the post-time gaps between them. */
std::vector<size_t> BurstSizes(std::vector<DWORD> *gaps = nullptr)
{
    std::vector<size_t> sizes;
    for (size_t i = 0; i < postTimes.size(); i++) {
        DWORD gap = i ? postTimes[i] - postTimes[i - 1] : 0;
        if (i == 0 || gap > kBurstGapMs) {
            sizes.push_back(0);
            if (i && gaps)
                gaps->push_back(gap);
        }
        sizes.back()++;
    }
    return sizes;
}

std::string Join(const std::vector<size_t> &values)
{
    std::string text;
    for (size_t v : values)
        text += (text.empty() ? "" : ",") + std::to_string(v);
    return text;
}

std::string Join(const std::vector<DWORD> &values)
{
    std::vector<size_t> wide(values.begin(), values.end());
    return Join(wide);
}

/* Bytes as hex, for failure messages about binary data. */
std::string Hex(const std::string &bytes)
{
    std::string text;
    char part[4];
    for (unsigned char c : bytes) {
        snprintf(part, sizeof part, "%02X ", c);
        text += part;
    }
    return text;
}

/* A handle of our own to the current worker, which StopReader closes. */
HANDLE CopyReaderThreadHandle()
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), AppState.readerThread, GetCurrentProcess(), &copy,
                    SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0);
    return copy;
}

struct StopOutcome {
    double elapsedMs;
    bool ended;          /* the worker's thread object is signalled */
    DWORD exitCode;      /* 0: it ended by itself; 0xFFFFFFFF: forced */
};

/* StopReader on the current worker, timed, with what became of the thread. */
StopOutcome TimedStopReader()
{
    HANDLE thread = CopyReaderThreadHandle();
    double start = testbed::NowMs();
    StopReader();
    StopOutcome outcome;
    outcome.elapsedMs = testbed::NowMs() - start;
    outcome.ended = thread && WaitForSingleObject(thread, 2000) == WAIT_OBJECT_0;
    outcome.exitCode = STILL_ACTIVE;
    if (thread) {
        GetExitCodeThread(thread, &outcome.exitCode);
        CloseHandle(thread);
    }
    printf("StopReader took %.0f ms; worker exit code 0x%lX\n", outcome.elapsedMs,
           (unsigned long)outcome.exitCode);
    return outcome;
}

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(target_.TakeFocus()) << "the test window could not take the focus; foreground "
                                         << GetForegroundWindow() << ", focus " << GetFocus();
        RecordPostTimes(target_.hwnd());
    }

    void TearDown() override
    {
        StopReader();
        ClosePort();
        AppState.portHandle = nullptr;
        AppState.transferActive = 0;
    }

    /* Opens `port` at 4800 baud, starts a worker on it and waits until it
       reads (its opening purge is behind it); what the sync typed is
       forgotten. */
    void StartReaderOn(int port)
    {
        ASSERT_NE(0, SelectPort(port, 5)) << "COM" << port << ", error " << GetLastError();
        StartReader();
        ASSERT_NE(nullptr, AppState.readerThread) << "no worker, error " << GetLastError();
        testbed::PartnerPort partner(port);
        ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();
        ASSERT_TRUE(testbed::SyncReader(partner, target_));
        ASSERT_TRUE(testbed::PumpUntil("the worker to end the sync's delivery (the active flag down)",
                                       [] { return AppState.transferActive == 0; }, kArrivalTimeoutMs));
        ClearRecord();
    }

    /* Waits until `count` bytes wait in the open port's input queue. */
    ::testing::AssertionResult WaitForQueued(DWORD count, const char *what)
    {
        DWORD queued = 0;
        ::testing::AssertionResult reached = testbed::WaitUntil(
            what, [&] { return (queued = testbed::InputQueued(AppState.portHandle)) == count; }, kQueueTimeoutMs);
        if (!reached)
            reached << "; " << queued << " bytes wait in the input queue, not " << count;
        return reached;
    }

    void ClearRecord()
    {
        target_.Clear();
        postTimes.clear();
    }

    testbed::TargetWindow target_;
};

TEST_F(ReaderTest, ScanArrivesInOrderAsOneBurst)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    testbed::PartnerPort partner(1);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();

    const std::string scan = "0123456789\r";
    ASSERT_TRUE(partner.Write(scan));
    ASSERT_TRUE(target_.WaitForChars(scan.size(), kArrivalTimeoutMs))
        << "got " << target_.chars().size() << " characters: \"" << target_.Text() << "\"";
    target_.Pump(kQuietMs);

    EXPECT_EQ(scan, target_.Text());
    for (size_t i = 0; i < target_.chars().size(); i++)
        EXPECT_EQ(0, target_.chars()[i].lParam) << "character " << i;
    std::vector<DWORD> gaps;
    std::vector<size_t> sizes = BurstSizes(&gaps);
    EXPECT_EQ(1u, sizes.size()) << "burst sizes " << Join(sizes) << ", gaps " << Join(gaps) << " ms";
}

TEST_F(ReaderTest, GapsUnder100MsJoinBurstsAndLongGapsSeparateThem)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(3));
    testbed::PartnerPort partner(3);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();

    /* 30 ms apart: one burst. (The gaps are what is tested here.) */
    double first = testbed::NowMs();
    ASSERT_TRUE(partner.Write("ABC"));
    Sleep(30);
    double second = testbed::NowMs();
    ASSERT_TRUE(partner.Write("DEF"));
    double apart = second - first;
    ASSERT_TRUE(target_.WaitForChars(6, kArrivalTimeoutMs)) << "got \"" << target_.Text() << "\"";
    target_.Pump(kQuietMs);
    EXPECT_EQ("ABCDEF", target_.Text());
    std::vector<DWORD> gaps;
    std::vector<size_t> sizes = BurstSizes(&gaps);
    if (apart < 90) {
        EXPECT_EQ(1u, sizes.size()) << "writes " << apart << " ms apart gave bursts " << Join(sizes)
                                    << ", gaps " << Join(gaps) << " ms";
    } else {
        printf("note: the machine stalled; the writes were %.0f ms apart, framing not checked\n", apart);
    }

    /* 500 ms apart: two bursts. Well past the 200 ms pause plus the 100 ms
       read time-out that can delay the first one. */
    ClearRecord();
    ASSERT_TRUE(partner.Write("GHI"));
    target_.Pump(500);
    ASSERT_TRUE(partner.Write("JKL"));
    ASSERT_TRUE(target_.WaitForChars(6, kArrivalTimeoutMs)) << "got \"" << target_.Text() << "\"";
    target_.Pump(kQuietMs);
    EXPECT_EQ("GHIJKL", target_.Text());
    gaps.clear();
    sizes = BurstSizes(&gaps);
    EXPECT_EQ("3,3", Join(sizes)) << "gaps " << Join(gaps) << " ms";
}

TEST_F(ReaderTest, LongRunIsCutIntoBurstsOf1024WithNothingLost)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    testbed::PartnerPort partner(1);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();

    std::string run;
    for (int i = 0; i < 2500; i++)
        run.push_back((char)('!' + (i * 7) % 94));
    double start = testbed::NowMs();
    ASSERT_TRUE(partner.Write(run));
    bool all = target_.WaitForChars(run.size(), 15000);
    double took = testbed::NowMs() - start;
    ASSERT_TRUE(all) << "got " << target_.chars().size() << " of " << run.size();
    target_.Pump(kQuietMs);

    EXPECT_EQ(run.size(), target_.chars().size());
    EXPECT_TRUE(run == target_.Text()) << "the characters differ from what was sent";
    std::vector<DWORD> gaps;
    std::vector<size_t> sizes = BurstSizes(&gaps);
    EXPECT_EQ("1024,1024,452", Join(sizes)) << "gaps " << Join(gaps) << " ms";
    printf("2500 bytes arrived in %.0f ms; gaps between bursts %s ms\n", took, Join(gaps).c_str());
}

TEST_F(ReaderTest, EveryByteIsPostedAsItsOwnValue)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    testbed::PartnerPort partner(1);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();

    /* Zero, a Cyrillic letter of code page 1251, and control bytes that a
       filtering reader would drop or translate. */
    const BYTE bytes[] = {'a', 0x00, 0xE9, '\r', '\n', '\t', 0x1B, 'z'};
    ASSERT_TRUE(partner.Write(bytes, sizeof bytes));
    ASSERT_TRUE(target_.WaitForChars(sizeof bytes, kArrivalTimeoutMs))
        << "got " << Hex(target_.Text());
    target_.Pump(kQuietMs);

    ASSERT_EQ(sizeof bytes, target_.chars().size()) << "got " << Hex(target_.Text());
    for (size_t i = 0; i < sizeof bytes; i++) {
        EXPECT_EQ((WPARAM)bytes[i], target_.chars()[i].wParam) << "byte " << i;
        EXPECT_EQ(0, target_.chars()[i].lParam) << "byte " << i;
    }
}

TEST_F(ReaderTest, BytesSentWhileNoWorkerRunsAreNeverDelivered)
{
    testbed::PartnerPort partner(1);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();

    /* Before the first worker starts: only its purge discards them. Their
       leaving the input queue shows the worker past its purge (a worker
       that read them instead would type them). */
    ASSERT_NE(0, SelectPort(1, 5));
    ASSERT_TRUE(partner.Write("STALE1"));
    ASSERT_TRUE(WaitForQueued(6, "the stale bytes to wait in COM1's input queue"));
    StartReader();
    ASSERT_TRUE(WaitForQueued(0, "the new worker to take the stale bytes out of the input queue"));
    ASSERT_TRUE(partner.Write("fresh"));
    ASSERT_TRUE(target_.WaitForChars(5, kArrivalTimeoutMs)) << "got \"" << target_.Text() << "\"";
    target_.Pump(kQuietMs);
    EXPECT_EQ("fresh", target_.Text());

    /* Between a stop and the next start, as around a settings change: the
       port is re-opened and a new worker starts. */
    StopReader();
    ASSERT_TRUE(partner.Write("STALE2"));
    ASSERT_NE(0, SelectPort(1, 6));
    ASSERT_TRUE(WaitForQueued(6, "the stale bytes to wait in the re-opened COM1's input queue"));
    StartReader();
    ASSERT_TRUE(WaitForQueued(0, "the new worker to take the stale bytes out of the input queue"));
    ASSERT_TRUE(partner.Write("again"));
    ASSERT_TRUE(target_.WaitForChars(10, kArrivalTimeoutMs)) << "got \"" << target_.Text() << "\"";
    target_.Pump(kQuietMs);
    EXPECT_EQ("freshagain", target_.Text());
}

TEST_F(ReaderTest, StopWithNoPortReturnsWithinItsBound)
{
    ASSERT_EQ(0, SelectPort(4, 5)) << "COM4 does not exist in the test bed";
    /* Stop at two different points of the worker's 1000 ms sleep: the
       time pumped is the point under test. */
    for (DWORD phase : {100u, 700u}) {
        StartReader();
        ASSERT_NE(nullptr, AppState.readerThread);
        target_.Pump(phase);
        StopOutcome stop = TimedStopReader();
        EXPECT_LE(stop.elapsedMs, READER_STOP_TIMEOUT_MS + kStopToleranceMs) << "phase " << phase;
        EXPECT_TRUE(stop.ended) << "phase " << phase << ": the worker still runs";
        EXPECT_NE((DWORD)STILL_ACTIVE, stop.exitCode) << "phase " << phase;
        EXPECT_EQ(nullptr, AppState.readerThread) << "phase " << phase;
        EXPECT_EQ(0, AppState.transferActive.load()) << "phase " << phase;
    }
    EXPECT_TRUE(target_.chars().empty()) << "got \"" << target_.Text() << "\"";
}

TEST_F(ReaderTest, StopWithIdleOpenPortEndsTheWorkerAndNothingMoreArrives)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    testbed::PartnerPort partner(1);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();
    ASSERT_TRUE(partner.Write("before"));
    ASSERT_TRUE(target_.WaitForChars(6, kArrivalTimeoutMs)) << "got \"" << target_.Text() << "\"";
    /* Idle: its delivery is over. */
    ASSERT_TRUE(testbed::PumpUntil("the worker to end its delivery (the active flag down)",
                                   [] { return AppState.transferActive == 0; }, kArrivalTimeoutMs));

    StopOutcome stop = TimedStopReader();
    EXPECT_LE(stop.elapsedMs, READER_STOP_TIMEOUT_MS + kStopToleranceMs);
    EXPECT_TRUE(stop.ended) << "the worker still runs";
    EXPECT_EQ(0u, stop.exitCode) << "the worker was ended by force, not by itself";
    EXPECT_EQ(nullptr, AppState.readerThread);
    EXPECT_EQ(0, AppState.transferActive.load());

    /* The port is still open, but nobody reads it any more: nothing comes
       within well over a reader pass. */
    ASSERT_EQ(1, IsPortOpen());
    ASSERT_TRUE(partner.Write("after"));
    target_.Pump(800);
    EXPECT_EQ("before", target_.Text());
}

/*
 * A worker stuck in a blocking call. Under Wine the receive wait on a pty
 * returns at once, so it cannot be made to block there; a read with no
 * time-outs blocks instead, until a byte comes. StopReader must still
 * return within its bound, with the worker gone.
 */
TEST_F(ReaderTest, StopEndsAWorkerBlockedInTheDevice)
{
    ASSERT_NE(0, SelectPort(2, 5));
    COMMTIMEOUTS forever = {};
    ASSERT_TRUE(SetCommTimeouts(AppState.portHandle, &forever));
    testbed::PartnerPort partner(2);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();
    StartReader();
    ASSERT_NE(nullptr, AppState.readerThread);
    ASSERT_TRUE(testbed::WaitForHeldRead(partner, AppState.portHandle, kArrivalTimeoutMs));
    HANDLE thread = CopyReaderThreadHandle();
    ASSERT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(thread, 0)) << "the worker ended on its own";
    CloseHandle(thread);

    StopOutcome stop = TimedStopReader();
    EXPECT_LE(stop.elapsedMs, READER_STOP_TIMEOUT_MS + kStopToleranceMs);
    EXPECT_TRUE(stop.ended) << "the worker still runs";
    EXPECT_EQ(nullptr, AppState.readerThread);
    EXPECT_EQ(0, AppState.transferActive.load());
    printf("blocked worker %s\n", stop.exitCode == 0 ? "ended by itself (its read was cancelled)"
                                                     : "was ended by force");
}

/* Watches transferActive from a thread of its own, as the tray icon would. */
struct FlagWatch {
    std::atomic<bool> stop{false};
    std::atomic<bool> sawActive{false};

    static DWORD WINAPI Proc(LPVOID parameter)
    {
        FlagWatch *self = static_cast<FlagWatch *>(parameter);
        while (!self->stop) {
            if (AppState.transferActive)
                self->sawActive = true;
            Sleep(1);
        }
        return 0;
    }
};

TEST_F(ReaderTest, TransferActiveIsSetOnlyWhileABurstIsDelivered)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    testbed::PartnerPort partner(1);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();
    {
        /* The sync's delivery is over; for a span of reader passes with
           nothing arriving, the flag stays down. */
        FlagWatch idle;
        HANDLE watcher = CreateThread(nullptr, 0, FlagWatch::Proc, &idle, 0, nullptr);
        ASSERT_NE(nullptr, watcher);
        target_.Pump(kQuietMs);
        idle.stop = true;
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(watcher, kJoinTimeoutMs));
        CloseHandle(watcher);
        EXPECT_FALSE(idle.sawActive) << "set with nothing delivered";
    }

    FlagWatch watch;
    HANDLE watcher = CreateThread(nullptr, 0, FlagWatch::Proc, &watch, 0, nullptr);
    ASSERT_NE(nullptr, watcher);
    ASSERT_TRUE(partner.Write("12345"));
    bool arrived = target_.WaitForChars(5, kArrivalTimeoutMs);
    /* The flag falls 50 ms after the posting; 300 ms is the tolerance. */
    testbed::PumpUntil("the active flag to fall after the delivery", [] { return AppState.transferActive == 0; },
                       300);
    watch.stop = true;
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(watcher, kJoinTimeoutMs));
    CloseHandle(watcher);

    ASSERT_TRUE(arrived) << "got \"" << target_.Text() << "\"";
    EXPECT_TRUE(watch.sawActive) << "the flag never rose during the delivery";
    EXPECT_EQ(0, AppState.transferActive.load()) << "still set after the delivery";
    StopReader();
    EXPECT_EQ(0, AppState.transferActive.load()) << "set after StopReader";
}

TEST_F(ReaderTest, TargetIsTheWindowFocusedWhenTheBurstIsComplete)
{
    testbed::TargetWindow other;
    ASSERT_TRUE(target_.TakeFocus());
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));

    /* One burst of 1.2 s: a byte every 20 ms. The focus moves to the other
       window half-way; all of the burst must go there. */
    struct Writer {
        std::vector<BYTE> data;
        bool ok = false;
        static DWORD WINAPI Proc(LPVOID parameter)
        {
            Writer *self = static_cast<Writer *>(parameter);
            testbed::PartnerPort partner(1);
            self->ok = partner.IsOpen() && partner.WritePaced(self->data, 50);
            return 0;
        }
    } writer;
    for (int i = 0; i < 60; i++)
        writer.data.push_back((BYTE)('a' + i % 26));
    HANDLE thread = CreateThread(nullptr, 0, Writer::Proc, &writer, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    target_.Pump(600);   /* half-way through the burst: the moment under test */
    bool moved = other.TakeFocus();
    bool arrived = other.WaitForChars(writer.data.size(), kArrivalTimeoutMs + 1200);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(thread, kJoinTimeoutMs));
    CloseHandle(thread);
    target_.Pump(kQuietMs);

    ASSERT_TRUE(writer.ok) << "the partner port refused the bytes";
    ASSERT_TRUE(moved) << "the focus did not move to the other window";
    EXPECT_TRUE(arrived) << "the other window got " << other.chars().size() << " characters";
    EXPECT_EQ(std::string(writer.data.begin(), writer.data.end()), other.Text());
    EXPECT_TRUE(target_.chars().empty()) << "the first window got \"" << target_.Text() << "\"";
}

/*
 * The foreground window belongs to a thread whose focus is null. The
 * stand-in's thread owns that window and does what the main thread asks.
 */
class UnfocusedForeground {
public:
    static constexpr UINT kTakeFocus = WM_APP + 1;

    UnfocusedForeground()
        : window_({"TavrinTestUnfocused", "Unfocused foreground", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                   {150, 150, 450, 350}},
                  [this](HWND hwnd, UINT message, WPARAM, LPARAM, LRESULT *result) {
                      *result = 0;
                      if (message == WM_CHAR) {
                          chars_++;
                          return true;
                      }
                      if (message == kTakeFocus) {
                          SetFocus(hwnd);
                          return true;
                      }
                      return false;
                  },
                  [](HWND hwnd) {
                      SetForegroundWindow(hwnd);
                      SetFocus(nullptr);
                  })
    {
    }

    HWND hwnd() const { return window_.hwnd(); }
    LONG chars() const { return chars_; }

    HWND FocusOfThread() const
    {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(window_.threadId(), &info))
            return (HWND)-1;
        return info.hwndFocus;
    }

private:
    std::atomic<LONG> chars_{0};
    testbed::StandInWindow window_;
};

/* Calls DeliverBurst on a thread of its own, as the worker does, and
   counts the WM_CHAR messages that land in that thread's own queue. */
struct Delivery {
    LONG ownQueueChars = -1;

    static DWORD WINAPI Proc(LPVOID parameter)
    {
        Delivery *self = static_cast<Delivery *>(parameter);
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  /* gives the thread its queue */
        const BYTE burst[] = {'x', 'y', 'z'};
        DeliverBurst(burst, sizeof burst);
        LONG count = 0;
        while (PeekMessageA(&msg, nullptr, WM_CHAR, WM_CHAR, PM_REMOVE))
            count++;
        self->ownQueueChars = count;
        return 0;
    }

    bool Run()
    {
        HANDLE thread = CreateThread(nullptr, 0, Proc, this, 0, nullptr);
        if (!thread)
            return false;
        bool joined = WaitForSingleObject(thread, kJoinTimeoutMs) == WAIT_OBJECT_0;
        CloseHandle(thread);
        return joined;
    }
};

TEST_F(ReaderTest, BurstWithNoFocusedWindowReachesNoWindow)
{
    UnfocusedForeground foreground;
    ASSERT_NE(nullptr, foreground.hwnd());
    testbed::PumpUntil("the stand-in to be the foreground window, with no focus",
                       [&] { return GetForegroundWindow() == foreground.hwnd() && foreground.FocusOfThread() == nullptr; },
                       kArrivalTimeoutMs);
    if (GetForegroundWindow() != foreground.hwnd() || foreground.FocusOfThread() != nullptr) {
        GTEST_SKIP() << "could not set up a foreground window with no focus: foreground "
                     << GetForegroundWindow() << " (wanted " << foreground.hwnd() << "), focus "
                     << foreground.FocusOfThread();
    }

    Delivery unfocused;
    ASSERT_TRUE(unfocused.Run()) << "DeliverBurst did not return";
    target_.Pump(300);   /* anything posted would be handled within it */
    EXPECT_EQ(foreground.hwnd(), GetForegroundWindow()) << "the foreground moved during the test";
    EXPECT_EQ(0, unfocused.ownQueueChars) << "posted to the delivering thread's own queue";
    EXPECT_EQ(0, foreground.chars());
    EXPECT_TRUE(target_.chars().empty()) << "got \"" << target_.Text() << "\"";
    EXPECT_EQ(0, AppState.transferActive.load());

    /* The same set-up with the focus given back does deliver, so the
       silence above came from the missing focus. */
    SendMessageA(foreground.hwnd(), UnfocusedForeground::kTakeFocus, 0, 0);
    ASSERT_EQ(foreground.hwnd(), foreground.FocusOfThread());
    Delivery focused;
    ASSERT_TRUE(focused.Run()) << "DeliverBurst did not return";
    testbed::PumpUntil("the stand-in to take the 3 characters", [&] { return foreground.chars() >= 3; },
                       kArrivalTimeoutMs);
    EXPECT_EQ(3, foreground.chars());
    EXPECT_EQ(0, focused.ownQueueChars);
}

}  // namespace
