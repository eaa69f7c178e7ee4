#include "support/program_test.h"

#include "resource.h"
#include "support/dialogs.h"

namespace testbed {

void ProgramTest::SetUp()
{
    DeleteSettingsKey();
}

void ProgramTest::TearDown()
{
    /* Killed, it saves nothing that could outlive the key. */
    if (program_.IsRunning())
        program_.Kill();
    DeleteSettingsKey();
}

void ProgramTest::ExpectOrderlyExit(TavrinProcess &program)
{
    DWORD code = 0xDEAD;
    ASSERT_TRUE(program.WaitForExit(kExitTimeoutMs, &code)) << "the program did not end";
    EXPECT_EQ(0u, code) << "exit code";
}

void ProgramTest::CloseInOrder(TavrinProcess &program)
{
    ASSERT_TRUE(PostMessageA(program.window(), WM_COMMAND, IDM_CLOSE, 0)) << "error " << GetLastError();
    ExpectOrderlyExit(program);
}

::testing::AssertionResult ProgramTest::StartReading(int port, int speed, PartnerPort &partner,
                                                    TargetWindow &target)
{
    if (!partner.IsOpen())
        return ::testing::AssertionFailure() << "the partner port does not open, error " << GetLastError();
    ::testing::AssertionResult started = StartTavrin(program_, port, speed, TrayState::Ready);
    return started ? SyncReader(partner, target) : started;
}

void ProgramTest::ExpectStored(DWORD port, DWORD speed)
{
    for (auto [name, expected] : {std::make_pair("Port", port), std::make_pair("Baud", speed)}) {
        DWORD value = 0;
        EXPECT_TRUE(GetSettingDword(name, &value)) << name << " is missing or not a 4-byte DWORD";
        EXPECT_EQ(expected, value) << "stored " << name;
    }
}

void ProgramTest::ExpectDialogShows(HWND dialog, int port, int speed)
{
    DialogChoice shown = ReadSettingsDialog(dialog);
    EXPECT_EQ(port, shown.port) << "port button checked (0: none)";
    EXPECT_EQ(port ? 1 : 0, shown.checked) << "port buttons checked";
    EXPECT_EQ(speed, shown.speed) << "list position selected (-1: none)";
}

}  // namespace testbed
