// What the window tests share: the program's windows created on a fresh data folder as the
// program creates them, kestemu boxes in-process, and small helpers to find and click controls.
#pragma once

#include <gtest/gtest.h>

#include <QWidget>
#include <memory>
#include <vector>

#include "monitor/ui/Quarnel.h"
#include "monitor/ui/frmMain.h"
#include "tests/data/DataHarness.h"

namespace uitest {

using namespace cantest;
using datatest::KestSpec;

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override;     // a data folder from the install step, and the windows
    void TearDown() override;  // the windows, then the boxes and the folder

    TMainForm& Main() { return *Program->MainForm; }
    TQuarnelWindows& Windows() { return *Program; }

    // Adds a box row through the data module, as the box list's insert does; returns its id.
    int32_t AddKest(const KestSpec& spec);
    // A kestemu box on a free port, its clock at midday so that the inverters have power.
    kestemu::Emulator& StartBox(kestemu::Config config = DefaultBoxConfig());
    static kestemu::Config DefaultBoxConfig();
    // The module id of the box's module of that type.
    int32_t ModuleId(int32_t kestId, int type);
    // Number of rows a query gives, on the program's own database connection.
    int Count(const QString& sql);

    // A control of any of the program's windows by its objectName; fails the test when absent.
    template <typename T>
    T* Find(const QString& name) {
        for (QWidget* window : TopWindows()) {
            if (window->objectName() == name) {
                if (T* found = qobject_cast<T*>(window)) {
                    return found;
                }
            }
            if (T* found = window->findChild<T*>(name)) {
                return found;
            }
        }
        ADD_FAILURE() << "no control named " << name.toStdString();
        return nullptr;
    }
    std::vector<QWidget*> TopWindows() const;
    // Every test's notification lines are checked for the passwords of the boxes listed.
    void ExpectNoPasswordShown();
    // A left click in the middle of a control.
    static void Click(QWidget* widget);

    std::unique_ptr<datatest::DataFolderFixture> Folder;
    std::unique_ptr<TQuarnelWindows> Program;
    std::vector<std::unique_ptr<kestemu::Emulator>> Boxes;
};

}  // namespace uitest
