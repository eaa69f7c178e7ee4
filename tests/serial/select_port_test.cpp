/*
 * Port selection and line configuration against Wine's serial stack, on
 * the test bed's pseudo-terminal cables.
 */
#include <gtest/gtest.h>

#include "serial/serial.h"
#include "app/app.h"

namespace {

class SelectPortTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        ClosePort();
        AppState.portHandle = nullptr;
        ZeroMemory(&AppState.lineSettings, sizeof AppState.lineSettings);
    }
};

TEST_F(SelectPortTest, InvalidPortNumbersFailAndLeaveTheOpenPortAlone)
{
    ASSERT_NE(0, SelectPort(2, 8)) << "COM2 should open, error " << GetLastError();
    HANDLE open = AppState.portHandle;

    for (int bad : {0, 5, -1}) {
        EXPECT_EQ(0, SelectPort(bad, 5)) << "port " << bad;
        EXPECT_EQ(open, AppState.portHandle) << "port " << bad << " touched the open port";
        EXPECT_EQ(1, IsPortOpen());
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(AppState.portHandle, &dcb));
    EXPECT_EQ(38400u, dcb.BaudRate) << "the open port lost its configuration";
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
    HANDLE first = AppState.portHandle;
    ASSERT_NE(0, SelectPort(3, 6));
    EXPECT_EQ(1, IsPortOpen());
    /* The first handle was closed: using it must fail. */
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (first != AppState.portHandle) {
        EXPECT_FALSE(GetCommState(first, &dcb)) << "the old handle is still open";
    }
    ASSERT_TRUE(GetCommState(AppState.portHandle, &dcb));
    EXPECT_EQ(9600u, dcb.BaudRate);
}

TEST_F(SelectPortTest, LineSettingsAndTimeoutsReadBack)
{
    ASSERT_NE(0, SelectPort(2, 8));

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(AppState.portHandle, &dcb));
    EXPECT_EQ(38400u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_EQ(1u, dcb.fBinary);
    EXPECT_EQ(0u, dcb.fOutxCtsFlow);
    EXPECT_EQ(0u, dcb.fOutX);
    EXPECT_EQ(0u, dcb.fInX);

    /* A pty always reports DTR and RTS enabled; check what was applied. */
    const DCB &applied = AppState.lineSettings;
    EXPECT_EQ(28u, applied.DCBlength);
    EXPECT_EQ((DWORD)DTR_CONTROL_DISABLE, applied.fDtrControl);
    EXPECT_EQ((DWORD)RTS_CONTROL_DISABLE, applied.fRtsControl);
    EXPECT_EQ(0u, applied.fParity);
    EXPECT_EQ(0u, applied.fAbortOnError);
    EXPECT_EQ(0u, applied.fOutxDsrFlow);
    EXPECT_EQ(0u, applied.fDsrSensitivity);
    EXPECT_EQ(0u, applied.fNull);
    EXPECT_EQ(0u, applied.fErrorChar);
    EXPECT_EQ(0, applied.EvtChar);

    COMMTIMEOUTS t = {};
    ASSERT_TRUE(GetCommTimeouts(AppState.portHandle, &t));
    EXPECT_EQ(500u, t.ReadIntervalTimeout);
    EXPECT_EQ(0u, t.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(100u, t.ReadTotalTimeoutConstant);
    EXPECT_EQ(4u, t.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(250u, t.WriteTotalTimeoutConstant);

    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(AppState.portHandle, &mask));
    EXPECT_EQ((DWORD)EV_RXCHAR, mask);
}

TEST_F(SelectPortTest, EverySpeedIndexConfiguresItsRate)
{
    for (int i = 0; i < SPEED_COUNT; i++) {
        ASSERT_NE(0, SelectPort(1, i)) << "speed index " << i;
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        EXPECT_EQ(SpeedTable[i].baudRate, AppState.lineSettings.BaudRate) << "speed index " << i;
        ASSERT_TRUE(GetCommState(AppState.portHandle, &dcb));
        /* Linux has no 14400 rate; Wine asks the driver for a custom
           divisor, which a pty ignores, and reads back 38400. */
        if (SpeedTable[i].baudRate != 14400) {
            EXPECT_EQ(SpeedTable[i].baudRate, dcb.BaudRate) << "speed index " << i;
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
