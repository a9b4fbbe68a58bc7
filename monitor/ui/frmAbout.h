// The About window: the product's banner and name, the program's version and the link
// library's. Shown modally from the navigation; OK or any key closes it.
#pragma once

#include <QDialog>

class QLabel;
class TLabelButton;

class TAboutForm : public QDialog {
    Q_OBJECT

public:
    explicit TAboutForm(QWidget* parent = nullptr);  // FormCreate

    // Each activation: the program's and the link library's version numbers.
    void FormActivate();
    void LabelOKClick();

    QLabel* Image1 = nullptr;
    QLabel* LabelProgramName = nullptr;
    QLabel* LabelVersionNumber = nullptr;
    TLabelButton* LabelOK = nullptr;
    QLabel* LabelDLLVersion = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;  // FormKeyDown
};
