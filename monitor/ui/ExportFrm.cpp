#include "ExportFrm.h"

#include <QButtonGroup>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSqlRecord>
#include <QSqlTableModel>
#include <cmath>

#include "Dialogs.h"
#include "MessageFrm.h"
#include "NaiveTime.h"
#include "dmLanguage.h"
#include "dmUser.h"
#include "frmMain.h"

namespace {

const char* const Resolution_Items[4] = {"10 minutes", "Daily", "Monthly", "Yearly"};
const int32_t Column_Module_Types[Export_Column_Count] = {Module_Type_Total, Module_Type_A,
                                                          Module_Type_B, Module_Type_C};

QFont Tahoma(int pixels) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixels);
    return font;
}

QDateEdit* DatePicker(const QString& name, QWidget* parent) {
    auto* picker = new QDateEdit(parent);
    picker->setObjectName(name);
    picker->setCalendarPopup(true);
    picker->calendarWidget()->setFirstDayOfWeek(Qt::Monday);
    picker->setDisplayFormat(QLocale::system().dateFormat(QLocale::ShortFormat));
    return picker;
}

}  // namespace

QPoint ExportFormPlace(const QRect& mainFrame, const QSize& ownFrame) {
    // Halves are rounded to the even neighbour, as the window was always placed.
    const double offset = mainFrame.width() / 2.0 - ownFrame.width() / 2.0;
    return {mainFrame.left() + int(std::nearbyint(offset)), mainFrame.top() + 75};
}

TExportForm::TExportForm(TMainForm& main, TMsgForm& messages)
    : QDialog(&main), MainForm(main), Texts(messages) {
    setObjectName(QStringLiteral("ExportForm"));
    setWindowTitle(QStringLiteral("ExportForm"));
    setFixedSize(561, 221);
    setFont(Tahoma(11));
    // The system's dialog colour, whatever the main window paints behind it.
    setPalette(QPalette());
    setAutoFillBackground(true);
    CreateControls();
}

void TExportForm::CreateControls() {
    InverterSelectGroupBox = new QGroupBox(QStringLiteral("Select KEST system"), this);
    InverterSelectGroupBox->setObjectName(QStringLiteral("InverterSelectGroupBox"));
    InverterSelectGroupBox->setGeometry(8, 6, 185, 141);
    KestSelectComboBox = new QComboBox(InverterSelectGroupBox);
    KestSelectComboBox->setObjectName(QStringLiteral("KestSelectComboBox"));
    KestSelectComboBox->setGeometry(10, 22, 165, 24);
    connect(KestSelectComboBox, &QComboBox::activated, this,
            [this] { KestSelectComboBoxCloseUp(); });
    const char* const names[Export_Column_Count] = {"TotalCheckBox", "InvACheckBox", "InvBCheckBox",
                                                    "InvCCheckBox"};
    const char* const captions[Export_Column_Count] = {"Total", "Inverter A", "Inverter B",
                                                       "Inverter C"};
    std::array<QCheckBox*, Export_Column_Count> boxes{};
    for (int i = 0; i < Export_Column_Count; ++i) {
        boxes[i] = new QCheckBox(QString::fromLatin1(captions[i]), InverterSelectGroupBox);
        boxes[i]->setObjectName(QString::fromLatin1(names[i]));
        boxes[i]->setGeometry(12, 52 + i * 21, 160, 20);
        boxes[i]->setChecked(true);
    }
    TotalCheckBox = boxes[0];
    InvACheckBox = boxes[1];
    InvBCheckBox = boxes[2];
    InvCCheckBox = boxes[3];

    ResolutionSelectGroupBox = new QGroupBox(QStringLiteral("Resolution"), this);
    ResolutionSelectGroupBox->setObjectName(QStringLiteral("ResolutionSelectGroupBox"));
    ResolutionSelectGroupBox->setGeometry(201, 6, 133, 141);
    ResolutionItems = new QButtonGroup(this);
    ResolutionItems->setObjectName(QStringLiteral("ResolutionItems"));
    for (int i = 0; i < 4; ++i) {
        auto* item =
            new QRadioButton(QString::fromLatin1(Resolution_Items[i]), ResolutionSelectGroupBox);
        item->setObjectName(QStringLiteral("ResolutionSelectGroupBox_%1").arg(i));
        item->setGeometry(12, 24 + i * 26, 115, 20);
        ResolutionItems->addButton(item, i);
    }
    // The items are translated as the group's numbered items, not as radio buttons of their own.
    SetDesignKind(ResolutionSelectGroupBox, TDesignKind::RadioGroup);

    DataSelectionGroupBox = new QGroupBox(QStringLiteral("Data selection"), this);
    DataSelectionGroupBox->setObjectName(QStringLiteral("DataSelectionGroupBox"));
    DataSelectionGroupBox->setGeometry(342, 6, 211, 141);
    SelectedPeriodRadioButton =
        new QRadioButton(QStringLiteral("Selected Period:"), DataSelectionGroupBox);
    SelectedPeriodRadioButton->setObjectName(QStringLiteral("SelectedPeriodRadioButton"));
    SelectedPeriodRadioButton->setGeometry(12, 22, 190, 20);
    FromDateTimePicker = DatePicker(QStringLiteral("FromDateTimePicker"), DataSelectionGroupBox);
    FromDateTimePicker->setGeometry(30, 46, 120, 24);
    ToDateTimePicker = DatePicker(QStringLiteral("ToDateTimePicker"), DataSelectionGroupBox);
    ToDateTimePicker->setGeometry(30, 74, 120, 24);
    AllAvailableRadioButton =
        new QRadioButton(QStringLiteral("All available"), DataSelectionGroupBox);
    AllAvailableRadioButton->setObjectName(QStringLiteral("AllAvailableRadioButton"));
    AllAvailableRadioButton->setGeometry(12, 108, 190, 20);
    SelectedPeriodRadioButton->setChecked(true);

    ProgressGroupBox = new QGroupBox(QStringLiteral("Action"), this);
    ProgressGroupBox->setObjectName(QStringLiteral("ProgressGroupBox"));
    ProgressGroupBox->setGeometry(8, 153, 545, 60);
    ExportButton = new QPushButton(QStringLiteral("Export..."), ProgressGroupBox);
    ExportButton->setObjectName(QStringLiteral("ExportButton"));
    ExportButton->setGeometry(350, 22, 90, 28);
    ExportButton->setDefault(true);
    connect(ExportButton, &QPushButton::clicked, this, [this] { ExportButtonClick(); });
    CancelButton = new QPushButton(QStringLiteral("Cancel"), ProgressGroupBox);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setGeometry(446, 22, 90, 28);
    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });

    SaveDialog = new QFileDialog(this);
    SaveDialog->setObjectName(QStringLiteral("SaveDialog"));
    SaveDialog->setOption(QFileDialog::DontUseNativeDialog);
    SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog->setFileMode(QFileDialog::AnyFile);
    SaveDialog->setDefaultSuffix(QStringLiteral("CSV"));
    SaveDialog->setSizeGripEnabled(true);
}

std::array<QCheckBox*, Export_Column_Count> TExportForm::ColumnBoxes() const {
    return {TotalCheckBox, InvACheckBox, InvBCheckBox, InvCCheckBox};
}

int TExportForm::ShowModal() {
    FormShow();
    return Dialogs::Exec(this);
}

int TExportForm::ResolutionIndex() const {
    return ResolutionItems->checkedId();
}

void TExportForm::SetResolutionIndex(int index) {
    if (QAbstractButton* item = ResolutionItems->button(index)) {
        item->setChecked(true);
    }
}

int32_t TExportForm::ChosenKest() const {
    return KestSelectComboBox->currentIndex() < 0 ? 0 : KestSelectComboBox->currentData().toInt();
}

void TExportForm::FillKestList() {
    const int32_t chosen = ChosenKest();
    KestSelectComboBox->clear();
    TUserData* data = MainForm.UserData();
    if (data == nullptr || !data->IsOpen()) {
        return;
    }
    QSqlTableModel* table = data->KestsTable;
    const int idColumn = table->fieldIndex(QStringLiteral("kest_id"));
    const int nameColumn = table->fieldIndex(QStringLiteral("kest_name"));
    for (int row = 0; row < table->rowCount(); ++row) {
        KestSelectComboBox->addItem(table->index(row, nameColumn).data().toString(),
                                    table->index(row, idColumn).data());
    }
    // A box deleted since the last use is no longer chosen.
    KestSelectComboBox->setCurrentIndex(chosen > 0 ? KestSelectComboBox->findData(chosen) : -1);
}

void TExportForm::FormShow() {
    FillKestList();
    SetResolutionIndex(int(MainForm.HistoryResolution) - 1);
    SelectedPeriodRadioButton->setChecked(true);
    if (MainForm.EsStartDateEdit != nullptr && MainForm.EsEndDateEdit != nullptr) {
        FromDateTimePicker->setDate(MainForm.EsStartDateEdit->date());
        ToDateTimePicker->setDate(MainForm.EsEndDateEdit->date());
    }
    move(ExportFormPlace(MainForm.frameGeometry(), frameGeometry().size()));
}

void TExportForm::KestSelectComboBoxCloseUp() {
    const int32_t kestId = ChosenKest();
    if (kestId > 0) {
        MainForm.ShowKest(kestId);
    }
    const auto boxes = ColumnBoxes();
    for (int i = 0; i < Export_Column_Count; ++i) {
        boxes[i]->setEnabled(false);
        ModuleIds[i] = 0;
    }
    TUserData* data = MainForm.UserData();
    if (kestId <= 0 || data == nullptr || !data->IsOpen()) {
        return;
    }
    for (const TModuleRow& module : data->AllModules()) {
        if (module.Kest != kestId || !module.IsPresent) {
            continue;
        }
        for (int i = 0; i < Export_Column_Count; ++i) {
            if (module.Type == Column_Module_Types[i]) {
                boxes[i]->setEnabled(true);
                ModuleIds[i] = module.Id;
            }
        }
    }
}

void TExportForm::SaveDialogShow() {
    SaveDialog->setLabelText(QFileDialog::Accept, Texts.Text(QStringLiteral("FileSave")));
    SaveDialog->setLabelText(QFileDialog::Reject, Texts.Text(QStringLiteral("FileCancel")));
    SaveDialog->setLabelText(QFileDialog::FileType, Texts.Text(QStringLiteral("FileType")));
    SaveDialog->setLabelText(QFileDialog::FileName, Texts.Text(QStringLiteral("FileName")));
    SaveDialog->setLabelText(QFileDialog::LookIn, Texts.Text(QStringLiteral("FileLookin")));
    SaveDialog->setNameFilter(Texts.Text(QStringLiteral("FileTypeCSV")));
}

void TExportForm::ExportButtonClick() {
    const int32_t kestId = ChosenKest();
    TUserData* data = MainForm.UserData();
    if (kestId <= 0 || data == nullptr || !data->IsOpen()) {
        return;
    }
    SaveDialogShow();
    if (Dialogs::Exec(SaveDialog) != QDialog::Accepted) {
        reject();
        return;
    }
    const QString path = SaveDialog->selectedFiles().value(0);

    TExportRequest request;
    request.KestName = KestSelectComboBox->currentText();
    request.ModuleIds = ModuleIds;
    request.Resolution = std::max(0, ResolutionIndex());
    const auto boxes = ColumnBoxes();
    for (int i = 0; i < Export_Column_Count; ++i) {
        // A column the box lacks may still show its check mark from another box.
        Exported[i] = boxes[i]->isChecked() && boxes[i]->isEnabled();
        request.Columns[i] = Exported[i];
    }
    request.AllAvailable = AllAvailableRadioButton->isChecked();
    if (!request.AllAvailable) {
        const TDayRange range =
            CorrectRange(FromDateTimePicker->date(), ToDateTimePicker->date(), NaiveNow().date());
        FromDateTimePicker->setDate(range.Start);
        ToDateTimePicker->setDate(range.End);
        request.Range = WidenRange(request.Resolution + 1, range.Start, range.End);
    }

    QString error;
    if (!WriteExportFile(path, data->ConnectionName(), request, Texts, Regional, &error)) {
        Dialogs::ShowError(this, error);
        return;
    }
    accept();
}

void TExportForm::CancelButtonClick() {
    reject();
}
