// The box list editor and the account password change of the main window.
#include <QCheckBox>
#include <QComboBox>
#include <QDataWidgetMapper>
#include <QEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSqlQueryModel>
#include <QSqlTableModel>
#include <QToolButton>
#include <array>

#include "Acquisition.h"
#include "Dialogs.h"
#include "InventoryDelegates.h"
#include "KestPassword.h"
#include "Look.h"
#include "MessageFrm.h"
#include "Sessions.h"
#include "dmLanguage.h"
#include "dmUser.h"
#include "frmMain.h"

namespace {

constexpr int Max_Text = 50;
constexpr int Max_Address = 255;
constexpr int Field_Height = 22;
constexpr int Caption_Height = 16;
const QColor List_Highlight(128, 128, 128);

QLineEdit* Field(QWidget* parent, const char* name, int maxLength, const QRect& place) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setMaxLength(maxLength);
    field->setGeometry(place);
    return field;
}

QLineEdit* MaskedField(QWidget* parent, const char* name, const QRect& place) {
    QLineEdit* field = Field(parent, name, Max_Text, place);
    field->setEchoMode(QLineEdit::Password);
    return field;
}

// A check box whose caption is white on the window colour; its box keeps the style's colours.
QCheckBox* CheckBox(QWidget* parent, const char* name, const QString& text, const QRect& place) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    box->setGeometry(place);
    QPalette palette = box->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    box->setPalette(palette);
    return box;
}

QComboBox* Picker(QWidget* parent, const QString& name, const QRect& place) {
    auto* picker = new QComboBox(parent);
    picker->setObjectName(name);
    picker->setGeometry(place);
    return picker;
}

// The colours as swatches without names; an item's position is the stored colour index.
QComboBox* ColourPicker(QWidget* parent, const QString& name, const QRect& place) {
    QComboBox* picker = Picker(parent, name, place);
    const QSize swatch(place.width() - 40, 12);
    picker->setIconSize(swatch);
    for (const uint32_t colour : ModuleColours) {
        QPixmap pixmap(swatch);
        pixmap.fill(QColor::fromRgba(colour));
        QPainter painter(&pixmap);
        painter.setPen(QColor(64, 64, 64));  // white and cream stay visible on a white list
        painter.drawRect(0, 0, swatch.width() - 1, swatch.height() - 1);
        painter.end();
        picker->addItem(QIcon(pixmap), QString());
    }
    return picker;
}

// The controls of one module row of the grid, in the order of ModuleQueries.
struct TModuleRowControls {
    QCheckBox* Present;  // none for the total
    QComboBox* Colour;
    QComboBox* Pattern;
    QComboBox* LineType;
};

std::array<TModuleRowControls, 4> ModuleRows(const TMainForm& form) {
    return {{{nullptr, form.ColorComboBoxMonitor, form.DBLookupComboBoxPatternMonitor,
              form.DBLookupComboBoxLineTypeMonitor},
             {form.DBCheckInverterA, form.ColorComboBoxInverterA,
              form.DBLookupComboBoxPatternInverterA, form.DBLookupComboBoxLineTypeInverterA},
             {form.DBCheckInverterB, form.ColorComboBoxInverterB,
              form.DBLookupComboBoxPatternInverterB, form.DBLookupComboBoxLineTypeInverterB},
             {form.DBCheckInverterC, form.ColorComboBoxInverterC,
              form.DBLookupComboBoxPatternInverterC, form.DBLookupComboBoxLineTypeInverterC}}};
}

std::array<TModuleQuery*, 4> ModuleQueries(TUserData& data) {
    return {&data.MonitorsQuery, &data.InvertersAQuery, &data.InvertersBQuery,
            &data.InvertersCQuery};
}

// The pick list row whose number (column 0) is value, or -1.
int PickRowOf(const QAbstractItemModel* list, int value) {
    for (int row = 0; list != nullptr && row < list->rowCount(); ++row) {
        if (list->index(row, 0).data().toInt() == value) {
            return row;
        }
    }
    return -1;
}

int KestIdAt(const QSqlTableModel* table, int row) {
    if (row < 0 || row >= table->rowCount()) {
        return -1;
    }
    return table->index(row, table->fieldIndex("kest_id")).data().toInt();
}

int RowOfKest(const QSqlTableModel* table, int32_t kestId) {
    for (int row = 0; kestId > 0 && row < table->rowCount(); ++row) {
        if (KestIdAt(table, row) == kestId) {
            return row;
        }
    }
    return -1;
}

}  // namespace

void TMainForm::CreateInventoryPanel() {
    QFrame* panel = PanelInvertersInventory;

    // The box fields, left of the list, each under its caption; the first lines up with the
    // list's top edge.
    const int left = 40;
    const int width = 240;
    auto fieldAt = [&](int row) { return QRect(left, 40 + row * 56, width, Field_Height); };
    auto captionAt = [&](int row) {
        return QRect(left, 40 + row * 56 - Caption_Height - 2, width, Caption_Height);
    };
    OvcKestNameLabel1 = WhiteLabel(QStringLiteral("OvcKestNameLabel1"), QStringLiteral("Name"),
                                   panel, captionAt(0));
    OvcKestName = Field(panel, "OvcKestName", Max_Text, fieldAt(0));
    LabelOvcKestIPAddress = WhiteLabel(QStringLiteral("LabelOvcKestIPAddress"),
                                       QStringLiteral("IP address"), panel, captionAt(1));
    OvcKestIPAddress = Field(panel, "OvcKestIPAddress", Max_Address, fieldAt(1));
    OvcPortNumberLabel = WhiteLabel(QStringLiteral("OvcPortNumberLabel"),
                                    QStringLiteral("Port number"), panel, captionAt(2));
    OvcKestPortNumber = Field(panel, "OvcKestPortNumber", 5, fieldAt(2).adjusted(0, 0, -150, 0));
    OvcKestPortNumber->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,5}")), OvcKestPortNumber));
    DBCheckBoxKestOnLine =
        CheckBox(panel, "DBCheckBoxKestOnLine", "On line", fieldAt(2).adjusted(110, 0, 0, 0));
    OvcDbSimpleField1Label1 = WhiteLabel(QStringLiteral("OvcDbSimpleField1Label1"),
                                         QStringLiteral("User name"), panel, captionAt(3));
    OvcKestUsername = Field(panel, "OvcKestUsername", Max_Text, fieldAt(3));
    LabelOvcKestPassword = WhiteLabel(QStringLiteral("LabelOvcKestPassword"),
                                      QStringLiteral("Password"), panel, captionAt(4));
    OvcKestPassword = MaskedField(panel, "OvcKestPassword", fieldAt(4));
    SetDesignKind(DBCheckBoxKestOnLine, TDesignKind::DataBound);
    OvcKestNameLabel1->setBuddy(OvcKestName);
    LabelOvcKestIPAddress->setBuddy(OvcKestIPAddress);
    OvcPortNumberLabel->setBuddy(OvcKestPortNumber);
    OvcDbSimpleField1Label1->setBuddy(OvcKestUsername);
    LabelOvcKestPassword->setBuddy(OvcKestPassword);

    KestList = new QListView(panel);
    KestList->setObjectName("KestList");
    KestList->setGeometry(296, 40, 345, 284);
    KestList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    KestList->setSelectionMode(QAbstractItemView::SingleSelection);
    KestList->setUniformItemSizes(true);
    KestList->setItemDelegate(new TKestListDelegate(KestList));
    QPalette listPalette = KestList->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        listPalette.setColor(group, QPalette::Highlight, List_Highlight);
        listPalette.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    KestList->setPalette(listPalette);

    KestsNavigator = new QWidget(panel);
    KestsNavigator->setObjectName("KestsNavigator");
    KestsNavigator->setGeometry(298, 325, 342, 18);
    SetDesignKind(KestsNavigator, TDesignKind::Navigator);
    auto navigatorButton = [this](const char* name, const QString& glyph, int x) {
        auto* button = new QToolButton(KestsNavigator);
        button->setObjectName(name);
        button->setText(glyph);
        button->setAutoRaise(true);
        button->setGeometry(x, 0, 171, 18);
        button->setFont(Verdana(14, true));
        QPalette palette = button->palette();
        palette.setColor(QPalette::ButtonText, Qt::white);
        button->setPalette(palette);
        return button;
    };
    KestsNavigatorInsert = navigatorButton("KestsNavigatorInsert", QStringLiteral("+"), 0);
    KestsNavigatorDelete = navigatorButton("KestsNavigatorDelete", QString(QChar(0x2212)), 171);
    connect(KestsNavigatorInsert, &QToolButton::clicked, this,
            [this] { KestsNavigatorInsertClick(); });
    connect(KestsNavigatorDelete, &QToolButton::clicked, this,
            [this] { KestsNavigatorDeleteClick(); });

    KestsSource = new QDataWidgetMapper(this);
    KestsSource->setObjectName("KestsSource");
    KestsSource->setSubmitPolicy(QDataWidgetMapper::AutoSubmit);
    KestsSource->setItemDelegate(
        new TKestFieldDelegate(KestsSource, OvcKestPassword, OvcKestPortNumber));
    // A click on the check box is an edit at once, like leaving a text field.
    connect(DBCheckBoxKestOnLine, &QCheckBox::clicked, this,
            [this] { emit KestsSource->itemDelegate()->commitData(DBCheckBoxKestOnLine); });

    // The account password change, below the list: captions in the column of the box fields,
    // entries in the column of the list, the button at the list's right edge.
    auto passwordCaption = [](int y) { return QRect(40, y + 1, 240, Caption_Height + 4); };
    auto passwordEntry = [](int y) { return QRect(296, y, 220, Field_Height); };
    SelectUserLabel =
        WhiteLabel(QStringLiteral("SelectUserLabel"), QStringLiteral("Change password for:"), panel,
                   passwordCaption(362));
    ChangePasswordComboBox =
        Picker(panel, "ChangePasswordComboBox", passwordEntry(362).adjusted(0, -1, 0, 1));
    ChangePasswordComboBox->addItems(
        {QStringLiteral("BasicUser"), QStringLiteral("Administrator")});
    ChangePasswordComboBox->setEditable(false);
    ChangePasswordComboBox->setCurrentIndex(0);
    OvcSimpleField1Label1 =
        WhiteLabel(QStringLiteral("OvcSimpleField1Label1"), QStringLiteral("New password:"), panel,
                   passwordCaption(394));
    OvcNewPassword = MaskedField(panel, "OvcNewPassword", passwordEntry(394));
    OvcConfirmPasswordLabel1 =
        WhiteLabel(QStringLiteral("OvcConfirmPasswordLabel1"),
                   QStringLiteral("Confirm new password"), panel, passwordCaption(426));
    OvcConfirmPassword = MaskedField(panel, "OvcConfirmPassword", passwordEntry(426));
    OvcSimpleField1Label1->setBuddy(OvcNewPassword);
    OvcConfirmPasswordLabel1->setBuddy(OvcConfirmPassword);
    ChangeButton = new QPushButton("Change", panel);
    ChangeButton->setObjectName("ChangeButton");
    ChangeButton->setGeometry(541, 425, 100, 24);
    connect(ChangeButton, &QPushButton::clicked, this, [this] { ChangeButtonClick(); });

    // The module grid: a row per module under the three column headings.
    PanelInvertersDetails = new QFrame(panel);
    PanelInvertersDetails->setObjectName("PanelInvertersDetails");
    PanelInvertersDetails->setGeometry(56, 464, 593, 153);
    QFrame* details = PanelInvertersDetails;
    const std::array<int, 3> column = {160, 306, 452};
    const int columnWidth = 130;
    auto rowAt = [](int row) { return 26 + row * 31; };
    LabelColor = WhiteLabel(QStringLiteral("LabelColor"), QStringLiteral("Color"), details,
                            QRect(column[0], 4, columnWidth, 18));
    LabelPattern = WhiteLabel(QStringLiteral("LabelPattern"), QStringLiteral("Pattern"), details,
                              QRect(column[1], 4, columnWidth, 18));
    LabelLineType = WhiteLabel(QStringLiteral("LabelLineType"), QStringLiteral("Line type"),
                               details, QRect(column[2], 4, columnWidth, 18));
    LabelTotal = WhiteLabel(QStringLiteral("LabelTotal"), QStringLiteral("Total"), details,
                            QRect(12, rowAt(0), 140, 24));
    DBCheckInverterA =
        CheckBox(details, "DBCheckInverterA", "Inverter A", QRect(12, rowAt(1), 140, 24));
    DBCheckInverterB =
        CheckBox(details, "DBCheckInverterB", "Inverter B", QRect(12, rowAt(2), 140, 24));
    DBCheckInverterC =
        CheckBox(details, "DBCheckInverterC", "Inverter C", QRect(12, rowAt(3), 140, 24));
    for (QCheckBox* box : {DBCheckInverterA, DBCheckInverterB, DBCheckInverterC}) {
        SetDesignKind(box, TDesignKind::DataBound);
    }
    const std::array<QString, 4> stems = {"Monitor", "InverterA", "InverterB", "InverterC"};
    std::array<QComboBox*, 4> colours{};
    std::array<QComboBox*, 4> patterns{};
    std::array<QComboBox*, 4> lineTypes{};
    for (int row = 0; row < 4; ++row) {
        auto place = [&](int c) { return QRect(column[c], rowAt(row), columnWidth, 24); };
        colours[row] = ColourPicker(details, "ColorComboBox" + stems[row], place(0));
        patterns[row] = Picker(details, "DBLookupComboBoxPattern" + stems[row], place(1));
        lineTypes[row] = Picker(details, "DBLookupComboBoxLineType" + stems[row], place(2));
    }
    ColorComboBoxMonitor = colours[0];
    ColorComboBoxInverterA = colours[1];
    ColorComboBoxInverterB = colours[2];
    ColorComboBoxInverterC = colours[3];
    DBLookupComboBoxPatternMonitor = patterns[0];
    DBLookupComboBoxPatternInverterA = patterns[1];
    DBLookupComboBoxPatternInverterB = patterns[2];
    DBLookupComboBoxPatternInverterC = patterns[3];
    DBLookupComboBoxLineTypeMonitor = lineTypes[0];
    DBLookupComboBoxLineTypeInverterA = lineTypes[1];
    DBLookupComboBoxLineTypeInverterB = lineTypes[2];
    DBLookupComboBoxLineTypeInverterC = lineTypes[3];

    const auto rows = ModuleRows(*this);
    for (int row = 0; row < 4; ++row) {
        const TModuleRowControls& c = rows[size_t(row)];
        if (c.Present != nullptr) {
            connect(c.Present, &QCheckBox::toggled, this, [this, row](bool checked) {
                ModuleControlChanged(row, "module_ispresent", checked ? 1 : 0);
            });
        }
        connect(c.Colour, &QComboBox::currentIndexChanged, this, [this, row](int index) {
            if (index >= 0) {
                ModuleControlChanged(row, "module_color", index);
            }
        });
        QComboBox* pattern = c.Pattern;
        connect(pattern, &QComboBox::currentIndexChanged, this, [this, row, pattern](int index) {
            if (index >= 0 && pattern->model() != nullptr) {
                ModuleControlChanged(row, "module_pattern",
                                     pattern->model()->index(index, 0).data().toInt());
            }
        });
        QComboBox* lineType = c.LineType;
        connect(lineType, &QComboBox::currentIndexChanged, this, [this, row, lineType](int index) {
            if (index >= 0 && lineType->model() != nullptr) {
                ModuleControlChanged(row, "module_linetype",
                                     lineType->model()->index(index, 0).data().toInt());
            }
        });
    }

    // Whatever moved the current box while the editor was hidden, it shows that box when shown.
    new TEventHook(panel, [this](QEvent* event) {
        if (event->type() == QEvent::Show) {
            ShowCurrentKest();
        }
    });
    ShowCurrentKest();
}

void TMainForm::BindInventory() {
    TUserData* data = UserData();
    if (data == nullptr || !data->IsOpen()) {
        return;
    }
    QSqlTableModel* table = data->KestsTable;
    KestList->setModel(table);
    KestList->setModelColumn(table->fieldIndex("kest_name"));
    // Acted on once the list has finished its own handling of the click: choosing a row posts
    // the edits, and posting reads the box table again.
    connect(
        KestList->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
        [this] { KestListRowChanged(); }, Qt::QueuedConnection);

    KestsSource->setModel(table);
    KestsSource->addMapping(OvcKestName, table->fieldIndex("kest_name"));
    KestsSource->addMapping(OvcKestIPAddress, table->fieldIndex("kest_ip"));
    KestsSource->addMapping(OvcKestPortNumber, table->fieldIndex("kest_port"));
    KestsSource->addMapping(DBCheckBoxKestOnLine, table->fieldIndex("kest_online"));
    KestsSource->addMapping(OvcKestUsername, table->fieldIndex("kest_username"));
    KestsSource->addMapping(OvcKestPassword, table->fieldIndex("kest_password"));
    // The port field remembers its value when the user enters it and gives it back when the
    // user leaves it (or presses Enter) with something that is no port. Watched after the
    // mapping is made, so that this runs before the mapper's own watch on the field, which then
    // stores the restored value.
    new TEventHook(OvcKestPortNumber, [this](QEvent* event) {
        if (event->type() == QEvent::FocusIn) {
            PortBeforeEdit = OvcKestPortNumber->text();
            return;
        }
        const bool enter = event->type() == QEvent::KeyPress &&
                           (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Return ||
                            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Enter);
        if (enter || event->type() == QEvent::FocusOut) {
            if (PortValid(OvcKestPortNumber->text())) {
                PortBeforeEdit = OvcKestPortNumber->text();
            } else {
                OvcKestPortNumberError();
            }
        }
    });

    // The table is read again after every post, insert and delete; the editor then finds its
    // box again.
    connect(table, &QAbstractItemModel::modelReset, this, [this] { ShowCurrentKest(); });

    for (const TModuleRowControls& row : ModuleRows(*this)) {
        row.Pattern->setModel(data->PatternsTable);
        row.Pattern->setModelColumn(1);
        row.LineType->setModel(data->LinetypesTable);
        row.LineType->setModelColumn(1);
    }
    ShowCurrentKest();
}

void TMainForm::ShowCurrentKest() {
    TUserData* data = UserData();
    const bool bound = data != nullptr && data->IsOpen() && KestList->model() != nullptr;
    int row = -1;
    if (bound) {
        QSqlTableModel* table = data->KestsTable;
        row = RowOfKest(table, data->CurrentKest());
        // As long as there are boxes, one of them is the current one.
        if (row < 0 && table->rowCount() > 0) {
            row = 0;
            data->SetCurrentKest(KestIdAt(table, row));
        }
        // The list reports this change of its current row too; the box is current by then, and
        // the report finds nothing to do.
        if (row >= 0) {
            const QModelIndex current = table->index(row, KestList->modelColumn());
            KestList->setCurrentIndex(current);
            KestList->scrollTo(current);
        } else {
            KestList->clearSelection();
            KestList->setCurrentIndex(QModelIndex());
        }
    }
    if (row >= 0) {
        KestsSource->setCurrentIndex(row);
    } else {
        for (QLineEdit* field :
             {OvcKestName, OvcKestIPAddress, OvcKestPortNumber, OvcKestUsername, OvcKestPassword}) {
            field->clear();
        }
        DBCheckBoxKestOnLine->setChecked(false);
    }
    for (QWidget* field : std::initializer_list<QWidget*>{
             OvcKestName, OvcKestIPAddress, OvcKestPortNumber, DBCheckBoxKestOnLine,
             OvcKestUsername, OvcKestPassword, KestsNavigatorDelete}) {
        field->setEnabled(row >= 0);
    }
    PortBeforeEdit = OvcKestPortNumber->text();
    LoadModuleControls();
}

void TMainForm::ChooseKestRow(int row) {
    TUserData* data = UserData();
    if (data == nullptr || !data->IsOpen()) {
        return;
    }
    const int32_t kestId = KestIdAt(data->KestsTable, row);
    // What is typed into a field that still has the focus belongs to the box being left.
    KestsSource->submit();
    data->PostPendingEdits();
    data->SetCurrentKest(kestId);
    ShowCurrentKest();
}

void TMainForm::LoadModuleControls() {
    TUserData* data = UserData();
    const auto rows = ModuleRows(*this);
    for (size_t i = 0; i < rows.size(); ++i) {
        const TModuleRowControls& c = rows[i];
        const TModuleQuery* query =
            data != nullptr && data->IsOpen() ? ModuleQueries(*data)[i] : nullptr;
        const bool found = query != nullptr && query->Found();
        const TModuleRow module = found ? query->Row() : TModuleRow();
        // Showing a box's values is no edit of them.
        for (QWidget* control :
             std::initializer_list<QWidget*>{c.Present, c.Colour, c.Pattern, c.LineType}) {
            if (control != nullptr) {
                control->blockSignals(true);
                control->setEnabled(found);
            }
        }
        if (c.Present != nullptr) {
            c.Present->setChecked(module.IsPresent);
        }
        const bool knownColour = found && module.Color >= 0 && module.Color < c.Colour->count();
        c.Colour->setCurrentIndex(knownColour ? module.Color : -1);
        c.Pattern->setCurrentIndex(found ? PickRowOf(c.Pattern->model(), module.Pattern) : -1);
        c.LineType->setCurrentIndex(found ? PickRowOf(c.LineType->model(), module.LineType) : -1);
        for (QWidget* control :
             std::initializer_list<QWidget*>{c.Present, c.Colour, c.Pattern, c.LineType}) {
            if (control != nullptr) {
                control->blockSignals(false);
            }
        }
    }
}

void TMainForm::ModuleControlChanged(int moduleRow, const QString& field, int value) {
    TUserData* data = UserData();
    if (data == nullptr || !data->IsOpen() || moduleRow < 0 || moduleRow >= 4) {
        return;
    }
    // Stored at once: the module rows have no other moment at which the user leaves them. A
    // change the database refuses has been shown; the controls show the stored row again.
    TModuleQuery* query = ModuleQueries(*data)[size_t(moduleRow)];
    if (query->SetValue(field, value) && !data->PostModuleEdits(*query)) {
        LoadModuleControls();
    }
}

void TMainForm::KestsNavigatorInsertClick() {
    TUserData* data = UserData();
    if (data == nullptr || !data->IsOpen()) {
        return;
    }
    KestsSource->submit();
    if (data->KestsTableAfterInsert() < 0) {
        return;
    }
    ShowCurrentKest();
    OvcKestName->setFocus();
    OvcKestName->selectAll();
}

void TMainForm::KestsNavigatorDeleteClick() {
    TUserData* data = UserData();
    if (data == nullptr || !data->IsOpen()) {
        return;
    }
    const int32_t kestId = data->CurrentKest();
    const int row = RowOfKest(data->KestsTable, kestId);
    if (row < 0 || !Dialogs::Confirm(this, Texts.Text(QStringLiteral("DeleteRecord")))) {
        return;
    }
    // A box in session is let go first: its channel must not outlive its rows.
    if (Sessions() != nullptr &&
        (Sessions()->IsKestConnected(kestId) || Sessions()->ChannelOfKest(kestId) != nullptr)) {
        if (Acquisition() != nullptr) {
            Acquisition()->UncheckKestModules(kestId);
        }
        Sessions()->DisconnectKest(kestId);
    }
    if (!data->DeleteKest(kestId)) {
        return;
    }
    const int left = data->KestsTable->rowCount();
    if (left > 0) {
        ChooseKestRow(std::min(row, left - 1));
    } else {
        data->SetCurrentKest(-1);
        ShowCurrentKest();
    }
}

void TMainForm::KestListRowChanged() {
    TUserData* data = UserData();
    if (data == nullptr || !data->IsOpen()) {
        return;
    }
    const int row = KestList->currentIndex().row();
    if (row < 0 || KestIdAt(data->KestsTable, row) == data->CurrentKest()) {
        return;
    }
    ChooseKestRow(row);
}

void TMainForm::ShowKest(int32_t kestId) {
    TUserData* data = UserData();
    if (data == nullptr || !data->IsOpen()) {
        return;
    }
    const int row = RowOfKest(data->KestsTable, kestId);
    if (row >= 0 && kestId != data->CurrentKest()) {
        ChooseKestRow(row);
    }
}

void TMainForm::OvcKestPortNumberError() {
    OvcKestPortNumber->setText(PortBeforeEdit);
}

void TMainForm::ChangeButtonClick() {
    const QString newPassword = OvcNewPassword->text().trimmed();
    const QString confirmation = OvcConfirmPassword->text().trimmed();
    if (newPassword != confirmation || newPassword.size() < 8) {
        Dialogs::ShowError(this, Messages().Text("ChangePasswordError"));
        return;
    }
    TUserData* data = UserData();
    const bool haveKest = data != nullptr && data->IsOpen() && Sessions() != nullptr &&
                          RowOfKest(data->KestsTable, data->CurrentKest()) >= 0;
    if (!haveKest) {
        Dialogs::ShowError(this, Messages().Text("ChangePasswordFailed"));
        return;
    }
    // The box is reached with the address and account the user sees in the fields. Fields the
    // database refused to store have been shown and show the stored values again: the user
    // looks at them before trying once more.
    KestsSource->submit();
    if (!data->PostPendingEdits()) {
        return;
    }
    const int32_t result = ChangeKestPassword(*Sessions(), data->CurrentKest(),
                                              ChangePasswordComboBox->currentText(), newPassword);
    if (result >= 0) {
        Dialogs::ShowInformation(this, Messages().Text("ChangePasswordOk"));
    } else if (result == Password_Not_Allowed) {
        Dialogs::ShowError(this, Messages().Text("ChangePasswordNotAllowed"));
    } else {
        Dialogs::ShowError(this, Messages().Text("ChangePasswordFailed"));
    }
}
