// GoogleTest main for the tests that need no Qt: each test program gets a run-time folder of
// its own, as the Qt main gives the dialog's tests.

#include "support/RuntimeDir.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    const testsupport::PrivateRuntimeDir runtime;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
