// The export window: the stored history of one box written to a semicolon-separated file.
#pragma once

#include <QDialog>
#include <QLocale>
#include <QPoint>
#include <QRect>
#include <array>
#include <cstdint>

#include "ExportData.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QFileDialog;
class QGroupBox;
class QPushButton;
class QRadioButton;
class TMainForm;
class TMsgForm;

// Where the window goes when it is shown: centred across the main window and 75 pixels below its
// top edge, both given as outer frames.
QPoint ExportFormPlace(const QRect& mainFrame, const QSize& ownFrame);

class TExportForm : public QDialog {
    Q_OBJECT

public:
    TExportForm(TMainForm& main, TMsgForm& messages);

    // FormShow, then the window modally; its result.
    int ShowModal();

    void FormShow();
    void KestSelectComboBoxCloseUp();
    void ExportButtonClick();
    void CancelButtonClick();
    void SaveDialogShow();

    // The position of the chosen resolution item: 0 ten minutes .. 3 yearly; -1 for none.
    int ResolutionIndex() const;
    void SetResolutionIndex(int index);
    // The box chosen in the drop-down list, 0 for none.
    int32_t ChosenKest() const;

    // The chosen box's module ids (0 when the box has no such present
    // module) and which columns the last export wrote, in the order total, A, B, C.
    std::array<int32_t, Export_Column_Count> ModuleIds{};
    std::array<bool, Export_Column_Count> Exported{};

    // The regional settings of the file's dates and numbers (tests pin them).
    QLocale Regional = QLocale::system();

    QGroupBox* InverterSelectGroupBox = nullptr;
    QComboBox* KestSelectComboBox = nullptr;
    QCheckBox* TotalCheckBox = nullptr;
    QCheckBox* InvACheckBox = nullptr;
    QCheckBox* InvBCheckBox = nullptr;
    QCheckBox* InvCCheckBox = nullptr;
    QGroupBox* ResolutionSelectGroupBox = nullptr;
    QButtonGroup* ResolutionItems = nullptr;
    QGroupBox* DataSelectionGroupBox = nullptr;
    QRadioButton* SelectedPeriodRadioButton = nullptr;
    QDateEdit* FromDateTimePicker = nullptr;
    QDateEdit* ToDateTimePicker = nullptr;
    QRadioButton* AllAvailableRadioButton = nullptr;
    QGroupBox* ProgressGroupBox = nullptr;
    QPushButton* ExportButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QFileDialog* SaveDialog = nullptr;

private:
    void CreateControls();
    // The drop-down list again from the box table, the chosen box kept where it still exists.
    void FillKestList();
    std::array<QCheckBox*, Export_Column_Count> ColumnBoxes() const;

    TMainForm& MainForm;
    TMsgForm& Texts;
};
