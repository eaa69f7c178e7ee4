/*
 * The fixture of the tests that run the program as a process of its own
 * (started with StartTavrin): each case begins and ends without a settings
 * key, so that what one case stored cannot reach the next.
 *
 * Used by the end-to-end tests in app/, settings/, robust/ and release/.
 */
#ifndef TAVRIN_TESTS_PROGRAM_TEST_H
#define TAVRIN_TESTS_PROGRAM_TEST_H

#include <windows.h>

#include <gtest/gtest.h>

#include "support/program.h"

namespace testbed {

class ProgramTest : public ::testing::Test {
protected:
    static const DWORD kExitTimeoutMs = 8000;

    void SetUp() override;
    void TearDown() override;
    /* Waits for the program to end and expects exit code 0. */
    static void ExpectOrderlyExit(TavrinProcess &program);
    /* Expects Port and Baud stored as 4-byte DWORDs with these values. */
    static void ExpectStored(DWORD port, DWORD speed);
};

}  // namespace testbed

#endif
