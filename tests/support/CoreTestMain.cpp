// The entry of the test programs without windows: the channels' workers hand their results to the
// main thread through its event loop, so the tests run under a QCoreApplication.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "NeedsServer.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new testsupport::NeedsServer);
    return RUN_ALL_TESTS();
}
