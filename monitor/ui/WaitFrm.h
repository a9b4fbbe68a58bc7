// The wait window: a small borderless window centred on the main window while the program is
// busy, its text set by the one who shows it.
#pragma once

#include <QWidget>

class QFrame;
class QLabel;

class TWaitForm : public QWidget {
    Q_OBJECT

public:
    explicit TWaitForm(QWidget* mainWindow);  // FormCreate

    // Sets the text, centres the window on the main window, shows it and paints it at once.
    void ShowText(const QString& text);

    QFrame* Panel1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* WaitLabel = nullptr;

private:
    QWidget* MainWindow;
};
