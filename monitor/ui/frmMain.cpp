// The main window's frame, navigation, creation and destruction, and what the session,
// acquisition and database code ask of the windows.
#include "frmMain.h"

#include <qcustomplot.h>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QDesktopServices>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QSqlTableModel>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <algorithm>

#include "Acquisition.h"
#include "CANMessages.h"
#include "CheckList.h"
#include "DebugLog.h"
#include "Dialogs.h"
#include "DownloadFrm.h"
#include "Look.h"
#include "MessageFrm.h"
#include "NaiveTime.h"
#include "NotificationFrm.h"
#include "Sessions.h"
#include "WaitFrm.h"
#include "dmLanguage.h"
#include "dmUser.h"
#include "frmAbout.h"

namespace {

constexpr int Window_Width = 995;
constexpr int Window_Height = 704;
constexpr int Band_Height = 49;
constexpr int Tree_Panel_Width = 249;
constexpr int Refresh_Interval = 2000;  // ms, the live chart and the first power scan

// The navigation tree: each node's text and the index of its parent (-1 for a top node).
struct TMenuEntry {
    const char* Text;
    int Parent;
};
constexpr TMenuEntry Menu_Entries[Menu_Node_Count] = {
    {"Change language", -1},
    {"English", Node_Language},
    {"Dutch", Node_Language},
    {"German", Node_Language},
    {"Francais", Node_Language},
    {"Inverters", -1},
    {"Current performance", -1},
    {"Performance history", -1},
    {"Per 10 minutes", Node_History},
    {"Per day", Node_History},
    {"Per month", Node_History},
    {"Per year", Node_History},
    {"Help", -1},
    {"Contents", Node_Help},
    {"About", Node_Help},
    {"Exit", -1},
};

// The language numbers the language nodes choose; French is 5, not 4.

QFrame* MakePanel(const QString& name, QWidget* parent, const QRect& geometry,
                  const QColor& colour) {
    auto* panel = new QFrame(parent);
    panel->setObjectName(name);
    panel->setGeometry(geometry);
    PaintBackground(panel, colour);
    return panel;
}

// The pause before trying a lost database server again: 5 s, doubling up to 2 minutes.
constexpr int Store_First_Pause_Ms = 5000;
constexpr int Store_Last_Pause_Ms = 120000;

QTimer* MakeTimer(const QString& name, QObject* parent, int interval) {
    auto* timer = new QTimer(parent);
    timer->setObjectName(name);
    timer->setInterval(interval);
    return timer;
}

// A timer runs with a positive interval only: a running timer of 0 ms would fire without end.
void SetTimerRunning(QTimer* timer, bool running) {
    if (running && timer->interval() > 0) {
        if (!timer->isActive()) {
            timer->start();
        }
    } else {
        timer->stop();
    }
}

}  // namespace

TMainForm::TMainForm(TMsgForm& messages) : Texts(messages) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Tarnwell Manager"));
    setFixedSize(Window_Width, Window_Height);
    PaintBackground(this, Window_Colour);
    setFont(Verdana(13));
    setWindowIcon(QIcon(QStringLiteral(":/pictures/quarnel.png")));
    CreateFrame();
    CreateMenu();
    CreateInventoryPanel();
    CreateCurrentPerformancePanel();
    CreateHistoryPanel();
    FormCreate();
}

TMainForm::~TMainForm() {
    FormDestroy();
}

void TMainForm::CreateFrame() {
    // The view panels first: the logo band overlaps the box list editor's top edge and is kept
    // in front of it.
    PanelInvertersInventory = MakePanel(QStringLiteral("PanelInvertersInventory"), this,
                                        QRect(242, 45, 737, 618), Window_Colour);
    PanelCurrentPerformance = MakePanel(QStringLiteral("PanelCurrentPerformance"), this,
                                        QRect(249, 49, 737, 618), Window_Colour);
    PanelHistoricalPerformance = MakePanel(QStringLiteral("PanelHistoricalPerformance"), this,
                                           QRect(249, 49, 737, 618), Window_Colour);

    MoravelPanel = MakePanel(QStringLiteral("MoravelPanel"), this,
                             QRect(0, 0, Window_Width, Band_Height), Qt::white);
    MoravelLogoImage = new QLabel(MoravelPanel);
    MoravelLogoImage->setObjectName(QStringLiteral("MoravelLogoImage"));
    MoravelLogoImage->setGeometry(8, 4, 121, 41);
    MoravelLogoImage->setPixmap(QPixmap(QStringLiteral(":/pictures/logo.png")));

    PanelScreen2 =
        MakePanel(QStringLiteral("PanelScreen2"), this,
                  QRect(0, Band_Height, Tree_Panel_Width, Window_Height - Band_Height), Qt::white);

    StartupLabel =
        WhiteLabel(QStringLiteral("StartupLabel"), QStringLiteral("Tarnwell Connect"), this,
                   QRect(Tree_Panel_Width, Band_Height, Window_Width - Tree_Panel_Width,
                         Window_Height - Band_Height));
    StartupLabel->setFont(Verdana(85));
    StartupLabel->setAlignment(Qt::AlignCenter);
    StartupLabel->setWordWrap(true);
    StartupLabel->setAttribute(Qt::WA_TransparentForMouseEvents);

    WRefreshTimer = MakeTimer(QStringLiteral("WRefreshTimer"), this, Refresh_Interval);
    ACPowerScanTimer =
        MakeTimer(QStringLiteral("ACPowerScanTimer"), this, AC_Power_Scan_Start_Interval);
    KeepAliveTimer = MakeTimer(QStringLiteral("KeepAliveTimer"), this, 0);
    connect(WRefreshTimer, &QTimer::timeout, this, &TMainForm::WRefreshTimerTick);
    connect(ACPowerScanTimer, &QTimer::timeout, this, &TMainForm::ACPowerScanTimerTimer);
    connect(KeepAliveTimer, &QTimer::timeout, this, &TMainForm::KeepAliveTimerTimer);
    StoreTimer = MakeTimer(QStringLiteral("StoreTimer"), this, Store_First_Pause_Ms);
    connect(StoreTimer, &QTimer::timeout, this, &TMainForm::StoreTimerTimer);
}

void TMainForm::CreateMenu() {
    TreeViewMenu = new QTreeWidget(PanelScreen2);
    TreeViewMenu->setObjectName(QStringLiteral("TreeViewMenu"));
    TreeViewMenu->setGeometry(33, 41, 192, 496);
    TreeViewMenu->setHeaderHidden(true);
    TreeViewMenu->setColumnCount(1);
    TreeViewMenu->setFrameShape(QFrame::NoFrame);
    TreeViewMenu->setCursor(Qt::PointingHandCursor);
    TreeViewMenu->setMouseTracking(true);  // hot tracking
    TreeViewMenu->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeViewMenu->setSelectionBehavior(QAbstractItemView::SelectRows);
    TreeViewMenu->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeViewMenu->setStyleSheet(QStringLiteral(
        "QTreeWidget { background: white; color: black; }"
        "QTreeWidget::item { padding: 2px 0px; }"
        "QTreeWidget::item:hover { color: rgb(23,39,98); text-decoration: underline; }"
        "QTreeWidget::item:selected, QTreeWidget::item:selected:!active {"
        " background: rgb(23,39,98); color: white; }"));

    std::array<QTreeWidgetItem*, Menu_Node_Count> nodes{};
    for (int i = 0; i < Menu_Node_Count; ++i) {
        const TMenuEntry& entry = Menu_Entries[i];
        QTreeWidgetItem* node = entry.Parent < 0 ? new QTreeWidgetItem(TreeViewMenu)
                                                 : new QTreeWidgetItem(nodes[entry.Parent]);
        node->setText(0, QString::fromLatin1(entry.Text));
        node->setData(0, Qt::UserRole, i);
        nodes[i] = node;
    }
    // A node opens when it is chosen; the actions follow the click.
    connect(TreeViewMenu, &QTreeWidget::currentItemChanged, this, [](QTreeWidgetItem* current) {
        if (current != nullptr && current->childCount() > 0) {
            current->setExpanded(true);
        }
    });
    connect(TreeViewMenu, &QTreeWidget::itemClicked, this, [this] { TreeViewMenuClick(); });
    connect(TreeViewMenu, &QTreeWidget::itemActivated, this, [this] { TreeViewMenuClick(); });
}

void TMainForm::FormCreate() {
    Data = std::make_unique<TUserData>(*this);
    TranslatorModule = std::make_unique<TTranslator>(*this);
    Translator = TranslatorModule.get();
    int language = Data->GetLanguage();
    if (language < 0 || language > Language_French) {
        language = Language_English;
    }
    Translator->SelectLanguage(uint8_t(language));
    Translator->TranslateForm(this);
    ShowPanel(nullptr);
    OvcComboBoxGraphType->setCurrentIndex(0);
    ChartW->clearPlottables();
    ChartW->clearItems();
    ClearkWhChart();
    HistoryResolution = 0;
    LastMenuIndex = 0;
    PerformanceVisible = false;
    const QDate today = NaiveNow().date();
    EsStartDateEdit->setDate(QDate(today.year(), today.month(), 1));
    EsEndDateEdit->setDate(today);
    XAxisDensity = {6, 12, 7, 6, 10};

    KestSessions = std::make_unique<TKestSessions>(*Data, *this, Texts);
    Acquiring = std::make_unique<TAcquisition>(*KestSessions, *Data);
    // The box locks go with a lost connection, and whoever connects again first takes them.
    Data->OnReconnected = [this] { Acquiring->TakeLocksAgain(); };
    if (Data->IsOpen()) {
        BindInventory();
    }
    if (Data->IsOpen() && Data->Store.IsPostgreSQL()) {
        StoreTimer->start();
    }
    KestSessions->InitSessions();
}

void TMainForm::StoreTimerTimer() {
    // Each try may hold the window for the server's connect time-out: the pause grows while
    // the server stays away.
    if (!Data || !Data->StoreLost()) {
        StoreTimer->setInterval(Store_First_Pause_Ms);
        return;
    }
    QString error;
    if (!Data->Reconnect(&error)) {
        DebugLine("The user database is still lost: " + error);
        StoreTimer->setInterval(std::min(StoreTimer->interval() * 2, Store_Last_Pause_Ms));
        return;
    }
    StoreTimer->setInterval(Store_First_Pause_Ms);
    UpdateViewState();
}

void TMainForm::FormDestroy() {
    for (QTimer* timer : {WRefreshTimer, ACPowerScanTimer, KeepAliveTimer, StoreTimer}) {
        timer->stop();
    }
    // Every worker is asked to stop at once, so that a box that no longer answers holds up the
    // end by one time-out, not one per box. What was stored is committed already.
    if (KestSessions) {
        KestSessions->StopAllChannels();
    }
    if (Data) {
        Data->OnReconnected = nullptr;
    }
    Acquiring.reset();
    KestSessions.reset();
    Data.reset();
    Translator = nullptr;
    TranslatorModule.reset();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    event->accept();  // closing is always allowed
    emit Closed();
}

void TMainForm::AttachWindows(TAboutForm* about, TWaitForm* wait, TDownloadForm* download,
                              TNotificationForm* notification) {
    AboutForm = about;
    WaitForm = wait;
    DownloadForm = download;
    NotificationForm = notification;
}

void TMainForm::ShowPanel(QWidget* panel) {
    for (QWidget* view : {static_cast<QWidget*>(PanelInvertersInventory),
                          static_cast<QWidget*>(PanelCurrentPerformance),
                          static_cast<QWidget*>(PanelHistoricalPerformance)}) {
        view->setVisible(view == panel);
    }
    StartupLabel->setVisible(panel == nullptr);
    MoravelPanel->raise();
}

void TMainForm::UpdateViewState() {
    const bool current = !PanelCurrentPerformance->isHidden();
    if (current && !WRefreshTimer->isActive()) {
        LabelPause->setVisible(true);
        LabelResume->setVisible(false);
    }
    SetTimerRunning(WRefreshTimer, current);
    PerformanceVisible = current;
    const bool hasKests = Data && Data->KestsTable != nullptr && Data->KestsTable->rowCount() > 0;
    PanelInvertersDetails->setVisible(hasKests);
    SetTimerRunning(ACPowerScanTimer, WRefreshTimer->isActive());
}

void TMainForm::ClickMenuNode(int index) {
    QTreeWidgetItemIterator it(TreeViewMenu);
    for (; *it != nullptr; ++it) {
        if ((*it)->data(0, Qt::UserRole).toInt() == index) {
            TreeViewMenu->setCurrentItem(*it);
            TreeViewMenuClick();
            return;
        }
    }
}

void TMainForm::TreeViewMenuClick() {
    const QList<QTreeWidgetItem*> selected = TreeViewMenu->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    const int index = selected.first()->data(0, Qt::UserRole).toInt();
    if (index == LastMenuIndex) {
        return;  // a second click on the node last acted on
    }
    LastMenuIndex = index;
    switch (index) {
        case Node_English:
        case Node_Dutch:
        case Node_German:
        case Node_French: {
            constexpr uint8_t languages[] = {Language_English, Language_Dutch, Language_German,
                                             Language_French};
            TreeViewMenu->clearSelection();
            Translator->SelectLanguage(languages[index - Node_English]);
            Translator->TranslateAllForms();
            ShowPanel(nullptr);
            Data->SetLanguage(Translator->Language);
            break;
        }
        case Node_Inverters:
            ShowPanel(PanelInvertersInventory);
            break;
        case Node_Current:
            Data->PostPendingEdits();
            Acquiring->BuildWCheckList();
            DrawWChart();
            ShowPanel(PanelCurrentPerformance);
            break;
        case Node_Per10Minutes:
        case Node_PerDay:
        case Node_PerMonth:
        case Node_PerYear:
            Data->PostPendingEdits();
            Acquiring->BuildKWhCheckList();
            ShowPanel(PanelHistoricalPerformance);
            SetHistoryResolution(uint8_t(index - Node_Per10Minutes + 1));
            DrawkWhChart(SelectedGraphType());
            break;
        case Node_Contents:
            TreeViewMenu->clearSelection();
            OpenHelpFile();
            LastMenuIndex = 0;
            break;
        case Node_About:
            TreeViewMenu->clearSelection();
            if (AboutForm != nullptr) {
                Dialogs::Exec(AboutForm);
            }
            LastMenuIndex = 0;
            break;
        case Node_Exit:
            close();
            break;
        default:
            break;
    }
    UpdateViewState();
}

void TMainForm::OpenHelpFile() {
    // The help document lies beside the program; each language may name its own.
    const QString path =
        QCoreApplication::applicationDirPath() + '/' + Texts.Text(QStringLiteral("HelpFileName"));
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void TMainForm::KeepAliveTimerTimer() {
    if (SessionCodeBusy() || !KestSessions) {
        return;
    }
    KestSessions->KeepAliveAll();
}

bool TMainForm::SessionCodeBusy() const {
    return InputBlocked > 0 || (KestSessions && KestSessions->TearingDown());
}

void TMainForm::ShowError(const QString& text) {
    Dialogs::ShowError(isVisible() ? this : nullptr, text);
}

void TMainForm::RequestQuit() {
    Quit = true;
    if (QCoreApplication::instance() != nullptr) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                  Qt::QueuedConnection);
    }
}

void TMainForm::SetInputEnabled(bool enabled) {
    if (!enabled) {
        if (InputBlocked++ == 0) {
            setEnabled(false);
            QApplication::setOverrideCursor(Qt::WaitCursor);
        }
    } else if (InputBlocked > 0 && --InputBlocked == 0) {
        QApplication::restoreOverrideCursor();
        setEnabled(true);
    }
}

void TMainForm::ShowWait(const QString& text) {
    if (WaitForm != nullptr) {
        WaitForm->ShowText(text);
    }
}

void TMainForm::CloseWait() {
    if (WaitForm != nullptr) {
        WaitForm->hide();
    }
}

void TMainForm::ShowNotification(const QString& text) {
    if (NotificationForm != nullptr) {
        NotificationForm->Notify(text);
    } else {
        DebugLine(text);
    }
}

void TMainForm::ShowDownloadProgress() {
    if (DownloadForm != nullptr) {
        DownloadForm->ShowProgress();
    }
}

int TMainForm::KeepAliveInterval() const {
    return KeepAliveTimer->isActive() ? KeepAliveTimer->interval() : 0;
}

void TMainForm::SetKeepAliveInterval(int ms) {
    if (ms > 0) {
        KeepAliveTimer->setInterval(ms);
    }
    SetTimerRunning(KeepAliveTimer, ms > 0);
}

void TMainForm::SetACPowerScanInterval(int ms) {
    if (ms > 0 && ms != ACPowerScanTimer->interval()) {
        ACPowerScanTimer->setInterval(ms);
    }
}

TCheckList* TMainForm::List(TModuleList list) const {
    return list == TModuleList::W ? OvcCheckListSelectedForW : OvcCheckListSelectedForkWh;
}

void TMainForm::ClearCheckList(TModuleList list) {
    List(list)->clear();
}

void TMainForm::AddCheckListItem(TModuleList list, const TCheckListItem& item) {
    List(list)->AddEntry(item.Text, item.ModuleId, item.Checked);
}

int TMainForm::CheckListCount(TModuleList list) const {
    return List(list)->count();
}

TCheckListItem TMainForm::CheckListItem(TModuleList list, int index) const {
    const TCheckList* checkList = List(list);
    TCheckListItem item;
    if (index >= 0 && index < checkList->count()) {
        item.Text = checkList->item(index)->text();
        item.ModuleId = checkList->ModuleId(index);
        item.Checked = checkList->Checked(index);
    }
    return item;
}

void TMainForm::SetCheckListItemChecked(TModuleList list, int index, bool checked) {
    List(list)->SetChecked(index, checked);
}

void TMainForm::DeselectDisconnect(TCANMessages* channel) {
    if (channel == nullptr || !Acquiring || !KestSessions) {
        return;
    }
    const int32_t kestId = channel->KestId();
    Acquiring->UncheckKestModules(kestId);
    KestSessions->DisconnectKest(kestId);
}
