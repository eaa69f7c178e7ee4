/*
 * The program's hidden window hosted in the test's own process: a fixture
 * for tests that call the program's functions directly, with its window
 * and tray menu on the test's thread, and that put the program's state
 * back afterwards (reader stopped, port closed, icon and menu gone).
 *
 * Used by the robustness tests that stop workers and break devices in
 * this process.
 */
#ifndef TAVRIN_TESTS_HOST_H
#define TAVRIN_TESTS_HOST_H

#include <gtest/gtest.h>

namespace testbed {

class HostedWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace testbed

#endif
