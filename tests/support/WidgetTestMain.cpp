// The entry of the window tests: a QApplication on the offscreen platform, with one style and the
// C locale so that sizes and texts do not follow the desktop the tests run on, and a program that
// goes on when a test closes its last window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>
#include <QStyleFactory>

#include "NeedsServer.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setQuitOnLastWindowClosed(false);
    QLocale::setDefault(QLocale::c());
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new testsupport::NeedsServer);
    return RUN_ALL_TESTS();
}
