// GoogleTest main with a Qt application, for tests that drive real widgets.

#include "support/RuntimeDir.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    const testsupport::PrivateRuntimeDir runtime;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
