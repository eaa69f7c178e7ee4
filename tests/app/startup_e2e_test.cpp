/*
 * The whole program, end to end, as a first run with no stored settings
 * meets it: the test owns the foreground window the scans must reach.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/cable.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/target.h"
#include "support/timing.h"

namespace {

class StartupE2E : public testbed::ProgramTest {};

TEST_F(StartupE2E, BuiltInSettingsOpenCom2TypeScansAndCloseEndsWithCodeZero)
{
    ASSERT_FALSE(testbed::SettingsKeyExists()) << "the settings key could not be deleted";
    /* The pty keeps the last rate it was given; make it one the program
       must change. */
    ASSERT_TRUE(testbed::SetLineRate(2, 38400)) << "error " << GetLastError();
    ASSERT_EQ(38400u, testbed::LineRate(2));

    testbed::TargetWindow target;
    double started = testbed::NowMs();
    ASSERT_TRUE(testbed::StartTavrin(program_));
    printf("ready after %.0f ms\n", testbed::NowMs() - started);
    ASSERT_TRUE(target.TakeFocus()) << "foreground " << GetForegroundWindow() << ", focus " << GetFocus();

    testbed::PartnerPort partner(2);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();
    ASSERT_TRUE(testbed::SyncReader(partner, target)) << "COM2";
    const std::string scan = "4006381333931\r";
    ASSERT_TRUE(testbed::SendAndSettle(partner, target, scan, 400));
    EXPECT_EQ(scan, target.Text());
    for (size_t i = 0; i < target.chars().size(); i++)
        EXPECT_EQ(0, target.chars()[i].lParam) << "character " << i;

    /* The built-in speed index 5: 4800 baud, 8N1. */
    DCB dcb = {};
    ASSERT_TRUE(testbed::LineSettings(2, &dcb)) << "COM2's line could not be read";
    EXPECT_EQ(4800u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);

    /* A second scan, to see that the program is still reading. */
    target.Clear();
    ASSERT_TRUE(testbed::SendAndSettle(partner, target, "12345\r", 0));
    EXPECT_EQ("12345\r", target.Text());

    double closing = testbed::NowMs();
    ASSERT_TRUE(PostMessageA(program_.window(), WM_CLOSE, 0, 0)) << "error " << GetLastError();
    ExpectOrderlyExit(program_);
    printf("ended %.0f ms after WM_CLOSE\n", testbed::NowMs() - closing);
    /* Shutdown saved the settings in force: the built-in ones. */
    testbed::ExpectStored(2, 5);

    /* Nothing types into the window once the program has gone: nothing
       comes within a span well over a reader pass. */
    target.Clear();
    ASSERT_TRUE(partner.Write("late"));
    target.Pump(600);
    EXPECT_EQ("", target.Text());
}

}  // namespace
