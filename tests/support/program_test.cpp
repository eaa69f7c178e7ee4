#include "support/program_test.h"

#include "support/registry.h"

namespace testbed {

void ProgramTest::SetUp()
{
    DeleteSettingsKey();
}

void ProgramTest::TearDown()
{
    DeleteSettingsKey();
}

void ProgramTest::ExpectOrderlyExit(TavrinProcess &program)
{
    DWORD code = 0xDEAD;
    ASSERT_TRUE(program.WaitForExit(kExitTimeoutMs, &code)) << "the program did not end";
    EXPECT_EQ(0u, code) << "exit code";
}

void ProgramTest::ExpectStored(DWORD port, DWORD speed)
{
    DWORD value = 0;
    EXPECT_TRUE(GetSettingDword("Port", &value)) << "Port is missing or not a 4-byte DWORD";
    EXPECT_EQ(port, value) << "stored Port";
    value = 0;
    EXPECT_TRUE(GetSettingDword("Baud", &value)) << "Baud is missing or not a 4-byte DWORD";
    EXPECT_EQ(speed, value) << "stored Baud";
}

}  // namespace testbed
