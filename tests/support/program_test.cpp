#include "support/program_test.h"

#include "resource.h"

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
    long code = program.Wait(kExitTimeoutMs);
    ASSERT_NE(-1, code) << "the program did not end";
    EXPECT_EQ(0, code) << "exit code";
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

}  // namespace testbed
