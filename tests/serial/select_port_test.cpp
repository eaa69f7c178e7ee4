/*
 * Port selection and line configuration against Wine's serial stack, on
 * the test bed's pseudo-terminal cables.
 */
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "serial/serial.h"
#include "app/app.h"
#include "support/cable.h"
#include "support/census.h"
#include "support/host.h"

namespace {

using SelectPortTest = testbed::ProgramStateTest;

/* printf into a string, so that one EXPECT_EQ shows a group of fields. */
std::string Format(const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

TEST_F(SelectPortTest, InvalidPortNumbersFailAndLeaveTheOpenPortAlone)
{
    ASSERT_NE(0, SelectPort(2, 8)) << "COM2 should open, error " << GetLastError();
    HANDLE open = AppState.portHandle;

    for (int bad : {0, 5, -1}) {
        EXPECT_EQ(0, SelectPort(bad, 5)) << "port " << bad;
        EXPECT_EQ(open, AppState.portHandle) << "port " << bad << " touched the open port";
        EXPECT_EQ(1, IsPortOpen());
    }
    EXPECT_EQ(38400u, testbed::LineRate(2)) << "the open port lost its configuration";
}

TEST_F(SelectPortTest, MissingPortFailsAndLeavesNothingOpen)
{
    ASSERT_NE(0, SelectPort(1, 5));
    EXPECT_EQ(0, SelectPort(4, 5)) << "COM4 does not exist in the test bed";
    EXPECT_EQ(0, IsPortOpen()) << "the previous port should have been closed";
    EXPECT_EQ(INVALID_HANDLE_VALUE, AppState.portHandle);
    EXPECT_EQ(1, ClosePort()) << "-1 counts as closed";
    EXPECT_EQ(INVALID_HANDLE_VALUE, AppState.portHandle);
}

TEST_F(SelectPortTest, SelectingTheSamePortAgainReopensIt)
{
    ASSERT_NE(0, SelectPort(3, 5));
    int handles = testbed::CountHandles(GetCurrentProcessId(), GetCurrentProcess());
    ASSERT_NE(-1, handles) << "this process's handles cannot be counted";
    ASSERT_NE(0, SelectPort(3, 6));
    EXPECT_EQ(1, IsPortOpen());
    /* The first handle was closed. (The new one may well have its value,
       so using the old value shows nothing; the count does.) */
    EXPECT_EQ(handles, testbed::CountHandles(GetCurrentProcessId(), GetCurrentProcess()))
        << "the process holds more handles than with the first port open";
    EXPECT_EQ(9600u, testbed::LineRate(3));
}

TEST_F(SelectPortTest, LineSettingsAndTimeoutsReadBack)
{
    ASSERT_NE(0, SelectPort(2, 8));

    /* Parity 0 is NOPARITY; stop bits 0, ONESTOPBIT. */
    DCB dcb = {};
    ASSERT_TRUE(testbed::LineSettings(2, &dcb));
    EXPECT_EQ("38400 baud, 8 bits, parity 0, stop bits 0, binary 1, CTS flow 0, XON/XOFF out 0 in 0",
              Format("%lu baud, %u bits, parity %u, stop bits %u, binary %u, CTS flow %u, XON/XOFF out %u in %u",
                     (unsigned long)dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fBinary,
                     dcb.fOutxCtsFlow, dcb.fOutX, dcb.fInX));

    /* A pty always reports DTR and RTS enabled; check what was applied
       (0: DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE). */
    const DCB &applied = AppState.lineSettings;
    EXPECT_EQ("length 28, DTR 0, RTS 0, parity check 0, abort on error 0, DSR flow 0, DSR sensitive 0, null "
              "strip 0, error char 0, event char 0",
              Format("length %lu, DTR %u, RTS %u, parity check %u, abort on error %u, DSR flow %u, DSR sensitive "
                     "%u, null strip %u, error char %u, event char %d",
                     (unsigned long)applied.DCBlength, applied.fDtrControl, applied.fRtsControl, applied.fParity,
                     applied.fAbortOnError, applied.fOutxDsrFlow, applied.fDsrSensitivity, applied.fNull,
                     applied.fErrorChar, applied.EvtChar));

    COMMTIMEOUTS t = {};
    ASSERT_TRUE(GetCommTimeouts(AppState.portHandle, &t));
    EXPECT_EQ("read: interval 500, 0 per byte + 100; write: 4 per byte + 250",
              Format("read: interval %lu, %lu per byte + %lu; write: %lu per byte + %lu",
                     (unsigned long)t.ReadIntervalTimeout, (unsigned long)t.ReadTotalTimeoutMultiplier,
                     (unsigned long)t.ReadTotalTimeoutConstant, (unsigned long)t.WriteTotalTimeoutMultiplier,
                     (unsigned long)t.WriteTotalTimeoutConstant));

    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(AppState.portHandle, &mask));
    EXPECT_EQ((DWORD)EV_RXCHAR, mask);
}

TEST_F(SelectPortTest, EverySpeedIndexConfiguresItsRate)
{
    for (int i = 0; i < SPEED_COUNT; i++) {
        ASSERT_NE(0, SelectPort(1, i)) << "speed index " << i;
        EXPECT_EQ(SpeedTable[i].baudRate, AppState.lineSettings.BaudRate) << "speed index " << i;
        /* Linux has no 14400 rate; Wine asks the driver for a custom
           divisor, which a pty ignores, and reads back 38400. */
        if (SpeedTable[i].baudRate != 14400) {
            EXPECT_EQ(SpeedTable[i].baudRate, testbed::LineRate(1)) << "speed index " << i;
        }
    }
}

TEST_F(SelectPortTest, SpeedIndexWithoutTableEntryOpensButFails)
{
    ASSERT_NE(0, SelectPort(1, 5));
    DWORD before = AppState.lineSettings.BaudRate;
    for (int bad : {-1, 9, 0x7FFFFFFF}) {
        EXPECT_EQ(0, SelectPort(2, bad)) << "speed index " << bad;
        EXPECT_EQ(1, IsPortOpen()) << "the port is opened before the speed is looked up";
        EXPECT_EQ(before, AppState.lineSettings.BaudRate) << "no rate may be invented";
    }
}

}  // namespace
