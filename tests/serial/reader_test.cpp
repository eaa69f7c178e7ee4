/*
 * The reader worker in process, on the test bed's cables: it frames what
 * the partner port sends into bursts and posts them to the test's focused
 * window; and it starts and stops within its bounds.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "serial/serial.h"
#include "support/cable.h"
#include "support/host.h"
#include "support/program.h"
#include "support/stand_in.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

namespace {

const DWORD kArrivalTimeoutMs = 4000;   /* a burst reaching the window */
/* A span over which nothing more may arrive: longer than a reader pass
   (the 200 ms pause and the 100 ms read time-out). */
const DWORD kQuietMs = 400;
const DWORD kQueueTimeoutMs = 5000;     /* bytes reaching or leaving the port's input queue */
/* The gap between post times (GetMessageTime, whenever this thread gets to
   dispatching) that separates bursts: the 50 ms pause after a delivery
   always lies between two, while a loaded machine can stall the worker for
   tens of milliseconds inside one burst's posting loop. */
const DWORD kBurstGapMs = 45;
const DWORD kJoinTimeoutMs = 5000;      /* helper threads of the tests */

/* The bursts' sizes, "1024,1024,452", for EXPECT_EQ; and the gaps between
   them, "gaps 52,51 ms", for its message. */
std::string BurstSizes(const std::vector<testbed::Burst> &bursts)
{
    std::string text;
    for (const testbed::Burst &burst : bursts)
        text += (text.empty() ? "" : ",") + std::to_string(burst.text.size());
    return text;
}

std::string BurstGaps(const std::vector<testbed::Burst> &bursts)
{
    std::string text;
    for (size_t i = 1; i < bursts.size(); i++)
        text += (i > 1 ? "," : "") + std::to_string((long)bursts[i].gapBeforeMs);
    return "gaps " + text + " ms";
}

class ReaderTest : public testbed::ProgramStateTest {
protected:
    void SetUp() override
    {
        ProgramStateTest::SetUp();
        ASSERT_TRUE(target_.TakeFocus()) << "the test window could not take the focus; foreground "
                                         << GetForegroundWindow() << ", focus " << GetFocus();
    }

    /* Opens `port` at 4800 baud and its partner, starts a worker on it and
       waits until it reads (its opening purge is behind it); what the sync
       typed is forgotten. */
    void StartReaderOn(int port)
    {
        ASSERT_NE(0, SelectPort(port, 5)) << "COM" << port << ", error " << GetLastError();
        StartReader();
        ASSERT_NE(nullptr, AppState.readerThread) << "no worker, error " << GetLastError();
        partner_.reset(new testbed::PartnerPort(port));
        ASSERT_TRUE(partner_->IsOpen()) << testbed::PartnerName(port) << ", error " << GetLastError();
        ASSERT_TRUE(testbed::SyncReader(*partner_, target_));
        ASSERT_TRUE(testbed::PumpUntil("the worker to end the sync's delivery (the active flag down)",
                                       [] { return AppState.transferActive == 0; }, kArrivalTimeoutMs));
        target_.Clear();
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

    std::vector<testbed::Burst> Bursts() const
    {
        return testbed::FindBursts(target_.chars(), kBurstGapMs, testbed::BurstClock::Posted);
    }

    /* Whether the active flag was seen set while `pump` ran on this
       thread, watched from a thread of its own as the tray icon would. */
    bool FlagSeenDuring(const std::function<void()> &pump)
    {
        std::atomic<bool> stop{false}, seen{false};
        testbed::Background watcher([&] {
            while (!stop) {
                if (AppState.transferActive)
                    seen = true;
                Sleep(1);
            }
        });
        pump();
        stop = true;
        EXPECT_TRUE(watcher.Join(kJoinTimeoutMs)) << "the flag watcher did not end";
        return seen;
    }

    testbed::TargetWindow target_;
    std::unique_ptr<testbed::PartnerPort> partner_;   /* opened by StartReaderOn */
};

TEST_F(ReaderTest, ScanArrivesInOrderAsOneBurst)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    const std::string scan = "0123456789\r";
    ASSERT_TRUE(testbed::SendAndSettle(*partner_, target_, scan, kQuietMs));

    EXPECT_EQ(scan, target_.Text());
    for (size_t i = 0; i < target_.chars().size(); i++)
        EXPECT_EQ(0, target_.chars()[i].lParam) << "character " << i;
    EXPECT_EQ("11", BurstSizes(Bursts())) << BurstGaps(Bursts());
}

TEST_F(ReaderTest, GapsUnder100MsJoinBurstsAndLongGapsSeparateThem)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(3));

    /* 500 ms apart: two bursts. Well past the 200 ms pause plus the 100 ms
       read time-out that can delay the first one. */
    ASSERT_TRUE(partner_->Write("GHI"));
    target_.Pump(500);
    ASSERT_TRUE(testbed::SendAndSettle(*partner_, target_, "JKL", kQuietMs));
    EXPECT_EQ("GHIJKL", target_.Text());
    EXPECT_EQ("3,3", BurstSizes(Bursts())) << BurstGaps(Bursts());

    /* 30 ms apart: one burst (the gap is what is tested). A stalled
       machine can stretch the gap towards the 100 ms that closes a burst;
       such a try shows nothing and is made again. */
    double apart = 0;
    for (int attempt = 0; attempt < 3 && (attempt == 0 || apart >= 90); attempt++) {
        target_.Clear();
        double first = testbed::NowMs();
        ASSERT_TRUE(partner_->Write("ABC"));
        Sleep(30);
        apart = testbed::NowMs() - first;
        ASSERT_TRUE(testbed::SendAndSettle(*partner_, target_, "DEF", kQuietMs));
        EXPECT_EQ("ABCDEF", target_.Text());
    }
    if (apart >= 90)
        GTEST_SKIP() << "the machine stalled on every try: the writes were " << apart << " ms apart, not 30";
    EXPECT_EQ("6", BurstSizes(Bursts()))
        << "writes " << apart << " ms apart; " << BurstGaps(Bursts());
}

TEST_F(ReaderTest, LongRunIsCutIntoBurstsOf1024WithNothingLost)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    std::string run;
    for (int i = 0; i < 2500; i++)
        run.push_back((char)('!' + (i * 7) % 94));
    double start = testbed::NowMs();
    ASSERT_TRUE(testbed::SendAndSettle(*partner_, target_, run, kQuietMs));

    EXPECT_EQ("", testbed::CompareStreams(run, target_.Text()));
    EXPECT_EQ("1024,1024,452", BurstSizes(Bursts())) << BurstGaps(Bursts());
    printf("2500 bytes arrived in %.0f ms; %s\n", target_.chars().back().ms - start,
           BurstGaps(Bursts()).c_str());
}

TEST_F(ReaderTest, EveryByteIsPostedAsItsOwnValue)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    /* Zero, a Cyrillic letter of code page 1251, and control bytes that a
       filtering reader would drop or translate. */
    const std::vector<BYTE> bytes = {'a', 0x00, 0xE9, '\r', '\n', '\t', 0x1B, 'z'};
    ASSERT_TRUE(testbed::SendAndSettle(*partner_, target_, std::string(bytes.begin(), bytes.end()), kQuietMs));

    EXPECT_EQ("", testbed::CompareStreams(bytes, testbed::ToBytes(target_.Text())));
    ASSERT_EQ(bytes.size(), target_.chars().size());
    /* Each value whole in wParam: a sign-extended 0xE9 would differ here. */
    for (size_t i = 0; i < bytes.size(); i++) {
        EXPECT_EQ((WPARAM)bytes[i], target_.chars()[i].wParam) << "byte " << i;
        EXPECT_EQ(0, target_.chars()[i].lParam) << "byte " << i;
    }
}

TEST_F(ReaderTest, BytesSentWhileNoWorkerRunsAreNeverDelivered)
{
    testbed::PartnerPort partner(1);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();

    /* Before the first worker starts, and between a stop and the next
       start, as around a settings change (the port is re-opened): only
       the new worker's purge discards them. Their leaving the input queue
       shows the worker past its purge (a worker that read them instead
       would type them). */
    struct Round {
        const char *stale, *fresh;
        int speed;
    };
    for (const Round &round : {Round{"STALE1", "fresh", 5}, Round{"STALE2", "again", 6}}) {
        SCOPED_TRACE(round.stale);
        target_.Clear();
        StopReader();
        ASSERT_TRUE(partner.Write(round.stale));
        ASSERT_NE(0, SelectPort(1, round.speed));
        ASSERT_TRUE(WaitForQueued(6, "the stale bytes to wait in COM1's input queue"));
        StartReader();
        ASSERT_TRUE(WaitForQueued(0, "the new worker to take the stale bytes out of the input queue"));
        ASSERT_TRUE(testbed::SendAndSettle(partner, target_, round.fresh, kQuietMs));
        EXPECT_EQ(round.fresh, target_.Text());
    }
}

TEST_F(ReaderTest, StopWithNoPortReturnsWithinItsBound)
{
    ASSERT_EQ(0, SelectPort(4, 5)) << "COM4 does not exist in the test bed";
    /* Stop at two different points of the worker's 1000 ms sleep: the
       time pumped is the point under test. The sleep is cut short, so the
       worker ends by itself at once (each try of an absent port, made
       while announcements may flood in, pays for this stop). */
    for (DWORD phase : {100u, 700u}) {
        StartReader();
        ASSERT_NE(nullptr, AppState.readerThread);
        target_.Pump(phase);
        DWORD exitCode = STILL_ACTIVE;
        double start = testbed::NowMs();
        EXPECT_TRUE(testbed::StopReaderWithinBound(&exitCode)) << "phase " << phase;
        EXPECT_LT(testbed::NowMs() - start, 500.0) << "the idle sleep was waited out, phase " << phase;
        EXPECT_EQ(0u, exitCode) << "phase " << phase;
    }
    EXPECT_EQ("", target_.Text());
}

TEST_F(ReaderTest, StopWithIdleOpenPortEndsTheWorkerAndNothingMoreArrives)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    ASSERT_TRUE(testbed::SendAndSettle(*partner_, target_, "before", 0));
    ASSERT_TRUE(testbed::PumpUntil("the worker to end its delivery (the active flag down)",
                                   [] { return AppState.transferActive == 0; }, kArrivalTimeoutMs));

    DWORD exitCode = STILL_ACTIVE;
    EXPECT_TRUE(testbed::StopReaderWithinBound(&exitCode));
    EXPECT_EQ(0u, exitCode) << "the worker was ended by force, not by itself";

    /* The port is still open, but nobody reads it any more: nothing comes
       within well over a reader pass. */
    ASSERT_EQ(1, IsPortOpen());
    ASSERT_TRUE(partner_->Write("after"));
    target_.Pump(800);
    EXPECT_EQ("before", target_.Text());
}

/* Under Wine the receive wait on a pty returns at once, so a worker cannot
   be made to block there; a read with no time-outs blocks instead, until
   a byte comes. */
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
    ASSERT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(AppState.readerThread, 0)) << "the worker ended on its own";

    EXPECT_TRUE(testbed::StopReaderWithinBound());
}

TEST_F(ReaderTest, TransferActiveIsSetOnlyWhileABurstIsDelivered)
{
    ASSERT_NO_FATAL_FAILURE(StartReaderOn(1));
    /* The sync's delivery is over; for a span of reader passes with
       nothing arriving, the flag stays down. */
    EXPECT_FALSE(FlagSeenDuring([&] { target_.Pump(kQuietMs); })) << "set with nothing delivered";

    ::testing::AssertionResult sent = ::testing::AssertionFailure();
    bool seen = FlagSeenDuring([&] {
        sent = testbed::SendAndSettle(*partner_, target_, "12345", 0);
        /* The flag falls 50 ms after the posting; 300 ms is the tolerance. */
        testbed::PumpUntil("the active flag to fall after the delivery",
                           [] { return AppState.transferActive == 0; }, 300);
    });
    ASSERT_TRUE(sent);
    EXPECT_TRUE(seen) << "the flag never rose during the delivery";
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
    std::vector<BYTE> data;
    for (int i = 0; i < 60; i++)
        data.push_back((BYTE)('a' + i % 26));
    bool written = false;
    testbed::Background writer([&] { written = partner_->WritePaced(data, 50); });
    target_.Pump(600);   /* half-way through the burst: the moment under test */
    bool moved = other.TakeFocus();
    bool arrived = other.WaitForChars(data.size(), kArrivalTimeoutMs + 1200);
    EXPECT_TRUE(writer.Join(kJoinTimeoutMs)) << "the writer did not end";
    target_.Pump(kQuietMs);

    ASSERT_TRUE(written) << "the partner port refused the bytes";
    ASSERT_TRUE(moved) << "the focus did not move to the other window";
    EXPECT_TRUE(arrived) << "the other window got " << other.chars().size() << " characters";
    EXPECT_EQ("", testbed::CompareStreams(data, testbed::ToBytes(other.Text())));
    EXPECT_EQ("", target_.Text()) << "the first window got characters";
}

/* Calls DeliverBurst with three bytes on a thread of its own, as the
   worker does; returns how many WM_CHAR messages landed in that thread's
   own queue, or -1 if DeliverBurst did not return. */
LONG DeliverFromOwnThread()
{
    LONG ownQueueChars = 0;
    testbed::Background thread([&] {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  /* gives the thread its queue */
        const BYTE burst[] = {'x', 'y', 'z'};
        DeliverBurst(burst, sizeof burst);
        while (PeekMessageA(&msg, nullptr, WM_CHAR, WM_CHAR, PM_REMOVE))
            ownQueueChars++;
    });
    return thread.Join(kJoinTimeoutMs) ? ownQueueChars : -1;
}

TEST_F(ReaderTest, BurstWithNoFocusedWindowReachesNoWindow)
{
    /* The foreground window belongs to a thread whose focus is null. The
       stand-in's thread owns that window and does what this one asks. */
    const UINT kTakeFocus = WM_APP + 1;
    std::atomic<LONG> chars{0};
    testbed::StandInWindow foreground(
        {"TavrinTestUnfocused", "Unfocused foreground", WS_OVERLAPPEDWINDOW | WS_VISIBLE, {150, 150, 450, 350}},
        [&](HWND hwnd, UINT message, WPARAM, LPARAM, LRESULT *result) {
            *result = 0;
            if (message == kTakeFocus)
                SetFocus(hwnd);
            else if (message == WM_CHAR)
                chars++;
            return message == kTakeFocus || message == WM_CHAR;
        },
        [](HWND hwnd) {
            SetForegroundWindow(hwnd);
            SetFocus(nullptr);
        });
    ASSERT_NE(nullptr, foreground.hwnd());
    auto focusOfItsThread = [&] { return testbed::ThreadFocus(foreground.threadId()); };
    if (!testbed::PumpUntil("the stand-in to be the foreground window, with no focus",
                            [&] { return GetForegroundWindow() == foreground.hwnd() && !focusOfItsThread(); },
                            kArrivalTimeoutMs)) {
        GTEST_SKIP() << "could not set up a foreground window with no focus: foreground "
                     << GetForegroundWindow() << " (wanted " << foreground.hwnd() << "), focus " << focusOfItsThread();
    }

    EXPECT_EQ(0, DeliverFromOwnThread()) << "posted to the delivering thread's own queue (-1: did not return)";
    target_.Pump(300);   /* anything posted would be handled within it */
    EXPECT_EQ(foreground.hwnd(), GetForegroundWindow()) << "the foreground moved during the test";
    EXPECT_EQ(0, chars.load());
    EXPECT_EQ("", target_.Text());
    EXPECT_EQ(0, AppState.transferActive.load());

    /* The same set-up with the focus given back does deliver, so the
       silence above came from the missing focus. */
    SendMessageA(foreground.hwnd(), kTakeFocus, 0, 0);
    ASSERT_EQ(foreground.hwnd(), focusOfItsThread());
    EXPECT_EQ(0, DeliverFromOwnThread()) << "(-1: DeliverBurst did not return)";
    testbed::PumpUntil("the stand-in to take the 3 characters", [&] { return chars >= 3; }, kArrivalTimeoutMs);
    EXPECT_EQ(3, chars.load());
}

}  // namespace
