/*
 * Nothing lost, nothing added, nothing reordered: what is written to COM2
 * at 38400 baud reaches the focused window as WM_CHAR in the order sent.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "support/cable.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

namespace {

const int kPort = 2;
using testbed::kLineRate;

/* The texts of the bursts FindBursts tells apart. */
std::vector<std::string> SplitBursts(const std::vector<testbed::TargetWindow::Char> &chars, DWORD gapMs)
{
    std::vector<std::string> texts;
    for (const testbed::Burst &burst : testbed::FindBursts(chars, gapMs))
        texts.push_back(burst.text);
    return texts;
}

class DeliveryTest : public testbed::ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_TRUE(StartReading(kPort, testbed::kSpeed38400, partner_, target_));
    }
    void TearDown() override
    {
        CloseInOrder(program_);
        ProgramTest::TearDown();
    }

    /* Waits for `sent` to arrive, and a while longer, so that anything
       extra shows; expects it as sent, each WM_CHAR with lParam 0. */
    void ExpectDelivered(const std::vector<BYTE> &sent)
    {
        target_.WaitForChars(sent.size(), testbed::kDeliveryTimeoutMs);
        target_.Pump(300);
        EXPECT_EQ("", testbed::CompareStreams(sent, testbed::ToBytes(target_.Text())));
        const auto &chars = target_.chars();
        EXPECT_EQ(0, std::count_if(chars.begin(), chars.end(), [](const auto &c) { return c.lParam != 0; }))
            << "characters with lParam other than 0";
    }

    testbed::PartnerPort partner_{kPort};
    testbed::TargetWindow target_;
};

std::vector<BYTE> AllValues()
{
    std::vector<BYTE> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

TEST_F(DeliveryTest, EveryByteValueInOneBurst)
{
    std::vector<BYTE> sent = AllValues();
    ASSERT_TRUE(partner_.Write(sent.data(), sent.size()));
    ExpectDelivered(sent);
    EXPECT_EQ(1u, SplitBursts(target_.chars(), 40).size()) << "256 bytes sent back to back make one burst";
}

TEST_F(DeliveryTest, EveryByteValueSpreadOverBursts)
{
    /* 256 values high to low, in pieces of 1, 2, 3, ... bytes with a pause
       long enough to close a burst after each piece. */
    std::vector<BYTE> sent = AllValues();
    std::reverse(sent.begin(), sent.end());
    size_t offset = 0;
    int pieces = 0;
    for (size_t size = 1; offset < sent.size(); size = size * 2 + 1, pieces++) {
        size_t n = std::min(size, sent.size() - offset);
        ASSERT_TRUE(partner_.Write(sent.data() + offset, n));
        offset += n;
        target_.Pump(450);   /* the spacing under test */
    }
    ExpectDelivered(sent);
    EXPECT_EQ((size_t)pieces, SplitBursts(target_.chars(), 200).size()) << "a burst for each piece";
}

TEST_F(DeliveryTest, EveryByteValueAcrossTheBurstCut)
{
    /* Five times the 256 values back to back: 1280 bytes, cut after 1024
       into two bursts. The byte at the cut is neither lost nor doubled. */
    const std::vector<BYTE> up = AllValues(), down(up.rbegin(), up.rend());
    std::vector<BYTE> sent;
    for (const std::vector<BYTE> *values : {&up, &down, &up, &down, &up})
        sent.insert(sent.end(), values->begin(), values->end());
    ASSERT_TRUE(partner_.Write(sent.data(), sent.size()));
    ExpectDelivered(sent);
}

/* Writes `total` bytes of a pseudo-random pattern at the line rate while
   the target collects them; half the time in 20 ms chunks (a continuous
   stream), half as scan-sized writes of 8 to 40 bytes. */
void RunLineRate(testbed::TargetWindow &target, DWORD seconds)
{
    testbed::PatientWriter partner(kPort);
    ASSERT_TRUE(partner.IsOpen());
    const uint32_t seed = 0x5EED0000u + seconds;
    const size_t total = (size_t)kLineRate * seconds;
    std::vector<BYTE> sent = testbed::PatternBytes(total, seed);
    printf("line rate: %u s at %u bytes/s, %zu bytes, pattern seed 0x%08X\n", (unsigned)seconds,
           (unsigned)kLineRate, total, (unsigned)seed);

    bool writeOk = true;
    size_t written = 0;
    double writeStart = 0, writeEnd = 0;
    testbed::Background writer([&] {
        testbed::Random sizes(seed);
        writeStart = testbed::NowMs();
        while (written < total && writeOk) {
            size_t chunk = written < total / 2 ? kLineRate / 50 : 8 + sizes.Below(33);
            /* A write costs the writer time of its own: when it has fallen
               behind the line, it sends everything that is due at once. */
            size_t owed = (size_t)((testbed::NowMs() - writeStart) * kLineRate / 1000.0);
            if (owed > written + chunk)
                chunk = std::min(owed - written, (size_t)1024);
            chunk = std::min(chunk, total - written);
            writeOk = partner.Write(sent.data() + written, chunk, 30000);
            written += chunk;
            double due = writeStart + 1000.0 * (double)written / kLineRate;
            double now = testbed::NowMs();
            if (due > now)
                Sleep((DWORD)(due - now));
        }
        writeEnd = testbed::NowMs();
    });

    /* The reader makes one read call per byte; on a loaded machine it can
       fall behind the line for a while. The cable's buffers (about 32 KB)
       hold the backlog, and when they are full the writer waits, as a
       device with flow control would. Speed is not the question here,
       loss is: after the last write, wait for as long as bytes come. */
    size_t maxBacklog = 0;
    for (int pumps = 1; !writer.Join(0); pumps++) {
        target.Pump(100);
        maxBacklog = std::max(maxBacklog, written > target.chars().size() ? written - target.chars().size() : 0);
        if (pumps % 100 == 0)   /* every 10 s or so */
            printf("  ... %zu bytes written, %zu received\n", written, target.chars().size());
    }
    ASSERT_TRUE(writeOk) << "no byte could be written for 30 s after " << written << " bytes";
    double drainStart = testbed::NowMs();
    for (;;) {
        size_t before = target.chars().size();
        if (target.WaitForChars(total, 15000) || target.chars().size() == before)
            break;
    }
    double drained = (testbed::NowMs() - drainStart) / 1000.0;
    target.Pump(500);   /* anything extra would show up now */

    std::vector<BYTE> received = testbed::ToBytes(target.Text());
    double writeSeconds = (writeEnd - writeStart) / 1000.0;
    printf("line rate: sent %zu bytes in %.1f s (%.0f bytes/s), received %zu bytes; largest backlog %zu bytes, "
           "%u writes waited for room, last byte in %.1f s after the last write\n",
           written, writeSeconds, writeSeconds > 0 ? (double)written / writeSeconds : 0.0, received.size(),
           maxBacklog, partner.Waits(), drained);
    /* The pace is a ceiling that a loaded machine may not reach; writing
       must only not have run faster than the line. */
    EXPECT_GE(writeSeconds, 0.95 * (double)seconds);
    EXPECT_EQ("", testbed::CompareStreams(sent, received));
}

TEST_F(DeliveryTest, LineRateForAMinute)
{
    RunLineRate(target_, testbed::EnvSeconds("TAVRIN_LINE_RATE_SECONDS", 60));
}

TEST_F(DeliveryTest, LineRateSoak)
{
    RunLineRate(target_, testbed::EnvSeconds("TAVRIN_SOAK_LINE_RATE_SECONDS", 600));
}

}  // namespace
