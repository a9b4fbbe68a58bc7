// The notification window: one line per connection event, on top of the other windows. Closing
// it clears the lines, so the next event starts a fresh list.
#pragma once

#include <QWidget>

class QFrame;
class QPlainTextEdit;
class TLabelButton;

class TNotificationForm : public QWidget {
    Q_OBJECT

public:
    explicit TNotificationForm(QWidget* mainWindow);  // FormCreate

    // Appends a line; unless the window is showing with the focus, centres it on the main
    // window and shows it with the focus.
    void Notify(const QString& line);
    void ClosePanelClick();
    QStringList Lines() const;

    QFrame* Panel1 = nullptr;
    QPlainTextEdit* EventMemo = nullptr;
    TLabelButton* ClosePanel = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;  // FormClose

private:
    QWidget* MainWindow;
};
