// The module selection lists: white lists of checkable entries whose mark is drawn as a cross. A
// click anywhere on an entry toggles it. Every change of a mark, by the user or by the program,
// raises StateChange.
#pragma once

#include <QListWidget>

class TCheckList : public QListWidget {
    Q_OBJECT

public:
    TCheckList(const QString& name, QWidget* parent);

    void AddEntry(const QString& text, int moduleId, bool checked);
    int ModuleId(int index) const;
    bool Checked(int index) const;
    void SetChecked(int index, bool checked);
    // Every entry, one after the other, each raising its StateChange.
    void SetAllChecked(bool checked);

signals:
    void StateChange(int index, bool checked);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
