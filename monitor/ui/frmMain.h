// The main window: the logo band, the navigation tree, and the three views that share the
// right-hand area (the box list editor, the current performance view and the history view). It
// owns the user database module, the box sessions and the acquisition, and it is the window the
// session, acquisition and database code reach through TMainView.
//
// The class is spread over four files: frmMain.cpp (frame, navigation, creation and
// destruction, TMainView), frmMainInventory.cpp (the box list editor and the password change),
// frmMainCurrent.cpp (the current performance view) and frmMainHistory.cpp (the history view).
#pragma once

#include <QVector>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "MainView.h"

class QCPBarsGroup;
class QCPLayerable;
class QCPTextElement;
class QCheckBox;
class QComboBox;
class QCustomPlot;
class QDataWidgetMapper;
class QDateEdit;
class QFrame;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QScrollBar;
class QSpinBox;
class QTimer;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TAboutForm;
class TAcquisition;
class TCheckList;
class TTranslator;
class TDownloadForm;
class TExportForm;
class TKestSessions;
class TLabelButton;
class TMsgForm;
class TNotificationForm;
class TUserData;
class TWaitForm;

// Absolute indices of the navigation tree's nodes.
enum TMenuNode : int {
    Node_Language = 0,
    Node_English = 1,
    Node_Dutch = 2,
    Node_German = 3,
    Node_French = 4,
    Node_Inverters = 5,
    Node_Current = 6,
    Node_History = 7,
    Node_Per10Minutes = 8,
    Node_PerDay = 9,
    Node_PerMonth = 10,
    Node_PerYear = 11,
    Node_Help = 12,
    Node_Contents = 13,
    Node_About = 14,
    Node_Exit = 15,
};
constexpr int Menu_Node_Count = 16;

class TMainForm : public QWidget, public TMainView {
    Q_OBJECT

public:
    // Creates the window hidden and runs FormCreate. messages is the program's table of texts.
    explicit TMainForm(TMsgForm& messages);
    ~TMainForm() override;  // FormDestroy

    // The small windows, created after this one; until then nothing is shown in them.
    void AttachWindows(TAboutForm* about, TWaitForm* wait, TDownloadForm* download,
                       TNotificationForm* notification);

    // Set when start-up failed and the program must end instead of running.
    bool QuitRequested() const { return Quit; }

    void ShowPanel(QWidget* panel);
    void TreeViewMenuClick();
    // Acts as a click on the node with that absolute index.
    void ClickMenuNode(int index);
    void KeepAliveTimerTimer();
    // A lost database server is tried again; the box list reads its rows again once it is back.
    void StoreTimerTimer();

    // The current performance view.
    void DrawWChart();
    void WRefreshTimerTick();
    void ACPowerScanTimerTimer();
    void LabelPauseClick();
    void LabelSelectAllClick();
    void LabelSelectNoneClick();
    void OvcCheckListSelectedForWStateChange(int index, bool checked);
    void CheckBoxShowWValuesClick();

    // The history view.
    void SetHistoryResolution(uint8_t resolution);
    void DrawkWhChart(int graphType);
    void ApplyXAxisDensity();
    int SelectedGraphType() const;
    void LabelGetDataClick();
    void LabelRedrawkWhChartClick();
    void OvcComboBoxGraphTypeClick();
    void LabelSelectAlHistoryClick();
    void LabelSelectNoneHistoryClick();
    void OvcCheckListSelectedForkWhStateChange(int index, bool checked);
    void X_AxisNrOfPointsChange();
    void X_AxisNrOfPointsError();
    void HistoryScrollBarScroll(int position);
    void CheckBoxShowkWhValuesClick();
    void ExportDataLabelClick();
    // The page the history chart shows (0: every point on one page), and its number of pages.
    int HistoryPage() const { return CurrentPage; }
    int HistoryPageCount() const;

    // The box list editor and the password change.
    void KestsNavigatorInsertClick();
    void KestsNavigatorDeleteClick();
    void KestListRowChanged();
    // Makes that box the current one, as choosing its row in the list does (the export window's
    // box choice). An unknown id changes nothing.
    void ShowKest(int32_t kestId);
    void OvcKestPortNumberError();
    void ChangeButtonClick();

    // TMainView
    void ShowError(const QString& text) override;
    void RequestQuit() override;
    void UpdateViewState() override;
    void SetInputEnabled(bool enabled) override;
    void ShowWait(const QString& text) override;
    void CloseWait() override;
    void ShowNotification(const QString& text) override;
    void ShowDownloadProgress() override;
    bool CurrentPerformanceVisible() const override { return PerformanceVisible; }
    int KeepAliveInterval() const override;
    void SetKeepAliveInterval(int ms) override;
    void SetACPowerScanInterval(int ms) override;
    void ClearCheckList(TModuleList list) override;
    void AddCheckListItem(TModuleList list, const TCheckListItem& item) override;
    int CheckListCount(TModuleList list) const override;
    TCheckListItem CheckListItem(TModuleList list, int index) const override;
    void SetCheckListItemChecked(TModuleList list, int index, bool checked) override;
    void DeselectDisconnect(TCANMessages* channel) override;

    // True while session code is halfway: a box being connected, or a channel being freed
    // while its worker ends. Timer handlers do nothing then.
    bool SessionCodeBusy() const;

    TUserData* UserData() const { return Data.get(); }
    TKestSessions* Sessions() const { return KestSessions.get(); }
    TAcquisition* Acquisition() const { return Acquiring.get(); }
    const TMsgForm& Messages() const { return Texts; }

signals:
    // The window was closed: the program ends.
    void Closed();

public:
    // The history view's resolution (1 ten minutes .. 4 year; 0 before one is chosen), the
    // navigation node acted on last, whether the current performance view is showing, and the
    // history chart's points per page for each resolution, kept until the program ends.
    uint8_t HistoryResolution = 0;
    int LastMenuIndex = 0;
    bool PerformanceVisible = false;
    std::array<int, 5> XAxisDensity = {6, 12, 7, 6, 10};
    // Created after this window; "Export data" opens it.
    TExportForm* ExportForm = nullptr;

    // The frame.
    QFrame* MoravelPanel = nullptr;
    QLabel* MoravelLogoImage = nullptr;
    QFrame* PanelScreen2 = nullptr;
    QTreeWidget* TreeViewMenu = nullptr;
    QLabel* StartupLabel = nullptr;
    QFrame* PanelInvertersInventory = nullptr;
    QFrame* PanelCurrentPerformance = nullptr;
    QFrame* PanelHistoricalPerformance = nullptr;
    QTimer* WRefreshTimer = nullptr;
    QTimer* ACPowerScanTimer = nullptr;
    QTimer* KeepAliveTimer = nullptr;
    QTimer* StoreTimer = nullptr;

    // The box list editor.
    QListView* KestList = nullptr;
    QWidget* KestsNavigator = nullptr;
    QToolButton* KestsNavigatorInsert = nullptr;
    QToolButton* KestsNavigatorDelete = nullptr;
    QDataWidgetMapper* KestsSource = nullptr;
    QLabel* OvcKestNameLabel1 = nullptr;
    QLineEdit* OvcKestName = nullptr;
    QLabel* LabelOvcKestIPAddress = nullptr;
    QLineEdit* OvcKestIPAddress = nullptr;
    QLabel* OvcPortNumberLabel = nullptr;
    QLineEdit* OvcKestPortNumber = nullptr;
    QCheckBox* DBCheckBoxKestOnLine = nullptr;
    QLabel* OvcDbSimpleField1Label1 = nullptr;
    QLineEdit* OvcKestUsername = nullptr;
    QLabel* LabelOvcKestPassword = nullptr;
    QLineEdit* OvcKestPassword = nullptr;
    QFrame* PanelInvertersDetails = nullptr;
    QLabel* LabelColor = nullptr;
    QLabel* LabelPattern = nullptr;
    QLabel* LabelLineType = nullptr;
    QLabel* LabelTotal = nullptr;
    QCheckBox* DBCheckInverterA = nullptr;
    QCheckBox* DBCheckInverterB = nullptr;
    QCheckBox* DBCheckInverterC = nullptr;
    QComboBox* ColorComboBoxMonitor = nullptr;
    QComboBox* ColorComboBoxInverterA = nullptr;
    QComboBox* ColorComboBoxInverterB = nullptr;
    QComboBox* ColorComboBoxInverterC = nullptr;
    QComboBox* DBLookupComboBoxPatternMonitor = nullptr;
    QComboBox* DBLookupComboBoxPatternInverterA = nullptr;
    QComboBox* DBLookupComboBoxPatternInverterB = nullptr;
    QComboBox* DBLookupComboBoxPatternInverterC = nullptr;
    QComboBox* DBLookupComboBoxLineTypeMonitor = nullptr;
    QComboBox* DBLookupComboBoxLineTypeInverterA = nullptr;
    QComboBox* DBLookupComboBoxLineTypeInverterB = nullptr;
    QComboBox* DBLookupComboBoxLineTypeInverterC = nullptr;
    QLabel* SelectUserLabel = nullptr;
    QComboBox* ChangePasswordComboBox = nullptr;
    QLabel* OvcSimpleField1Label1 = nullptr;
    QLineEdit* OvcNewPassword = nullptr;
    QLabel* OvcConfirmPasswordLabel1 = nullptr;
    QLineEdit* OvcConfirmPassword = nullptr;
    QPushButton* ChangeButton = nullptr;

    // The current performance view.
    QCustomPlot* ChartW = nullptr;
    QLabel* LabelPerformanceGraph = nullptr;
    TLabelButton* LabelPause = nullptr;
    TLabelButton* LabelResume = nullptr;
    TCheckList* OvcCheckListSelectedForW = nullptr;
    TLabelButton* LabelSelectAll = nullptr;
    TLabelButton* LabelSelectNone = nullptr;
    QCheckBox* CheckBoxShowWValues = nullptr;

    // The history view.
    QCustomPlot* ChartkWh = nullptr;
    QLabel* StartDateEditLabel = nullptr;
    QDateEdit* EsStartDateEdit = nullptr;
    QLabel* EndDateEditLabel = nullptr;
    QDateEdit* EsEndDateEdit = nullptr;
    TCheckList* OvcCheckListSelectedForkWh = nullptr;
    QLabel* OvcComboBoxGraphTypeLabel = nullptr;
    QComboBox* OvcComboBoxGraphType = nullptr;
    QSpinBox* OvcXAxisSpinner = nullptr;
    QScrollBar* HistoryScrollBar = nullptr;
    TLabelButton* LabelSelectAlHistory = nullptr;
    TLabelButton* LabelSelectNoneHistory = nullptr;
    TLabelButton* LabelRedrawkWhChart = nullptr;
    TLabelButton* LabelGetData = nullptr;
    TLabelButton* ExportDataLabel = nullptr;
    QLineEdit* X_AxisNrOfPoints = nullptr;
    QLabel* X_AxisNrOfPointsLabel = nullptr;
    QCheckBox* CheckBoxShowkWhValues = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;  // FormClose

private:
    void CreateFrame();
    void CreateMenu();
    void CreateInventoryPanel();
    void CreateCurrentPerformancePanel();
    void CreateHistoryPanel();
    // Binds the box list editor to the user database once it is open.
    void BindInventory();
    void FormCreate();
    void FormDestroy();
    void OpenHelpFile();
    // The module selection list of the live view or of the history view.
    TCheckList* List(TModuleList list) const;

    // The history chart's own state: its title, the series' value marks, the slot keys every
    // series shares, the highest plotted value per slot, and the paging.
    QCPTextElement* kWhTitle = nullptr;
    QCPBarsGroup* kWhBarsGroup = nullptr;
    std::vector<QCPLayerable*> kWhMarks;
    QVector<double> kWhKeys;
    QVector<double> kWhTops;
    int PointsPerPage = 0;
    int CurrentPage = 1;
    QString DensityBeforeEdit;
    void ClearkWhChart();
    // Shows CurrentPage: the bottom axis spans its slots, the value axis its highest value.
    void ShowHistoryPage();
    void UpdateHistoryScrollBar();

    // The box list editor's own state.
    QString PortBeforeEdit;
    // Makes the list, the box fields and the module grid show the data module's current box.
    void ShowCurrentKest();
    // The user chose a row: the edits so far are posted and the row's box becomes current.
    void ChooseKestRow(int row);
    void LoadModuleControls();
    void ModuleControlChanged(int moduleRow, const QString& field, int value);

    TMsgForm& Texts;
    std::unique_ptr<TUserData> Data;
    // Reached by the rest of the program as Translator.
    std::unique_ptr<TTranslator> TranslatorModule;
    std::unique_ptr<TKestSessions> KestSessions;
    std::unique_ptr<TAcquisition> Acquiring;
    TAboutForm* AboutForm = nullptr;
    TWaitForm* WaitForm = nullptr;
    TDownloadForm* DownloadForm = nullptr;
    TNotificationForm* NotificationForm = nullptr;
    bool Quit = false;
    int InputBlocked = 0;
};
