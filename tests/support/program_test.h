/*
 * The fixture of the tests that run the program as a process of its own
 * (the end-to-end tests, robust/ and the settings store's): each case
 * begins and ends without a settings key, so that what one case stored
 * cannot reach the next, and a program still running at the end is killed
 * before the key goes.
 */
#ifndef TAVRIN_TESTS_PROGRAM_TEST_H
#define TAVRIN_TESTS_PROGRAM_TEST_H

#include <windows.h>

#include <gtest/gtest.h>

#include "support/program.h"

namespace testbed {

class ProgramTest : public ::testing::Test {
protected:
    /* StopReader's bound of 1000 ms and the rest of the way out, on a
       loaded or emulated machine. */
    static const DWORD kExitTimeoutMs = 10000;

    void SetUp() override;
    void TearDown() override;
    /* Waits for the program to end and expects exit code 0. */
    static void ExpectOrderlyExit(TavrinProcess &program);
    /* Chooses "Close" by its command, then ExpectOrderlyExit. */
    static void CloseInOrder(TavrinProcess &program);
    /* Starts program_ on `port` at `speed` with its ready icon (see
       StartTavrin), then knows its reader to be reading what `partner`
       writes into `target` (see SyncReader). */
    ::testing::AssertionResult StartReading(int port, int speed, PartnerPort &partner, TargetWindow &target);

    /* The program of a case that runs one. */
    TavrinProcess program_;
};

}  // namespace testbed

#endif
