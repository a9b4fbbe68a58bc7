// The download progress window: one line per box that is downloading, rewritten every half
// second; Cancel stops the downloads. When the last download has ended the window closes itself
// and the history chart is drawn again from what was stored.
#pragma once

#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <vector>

class QPlainTextEdit;
class QTimer;
class TLabelButton;
class TMainForm;

// One downloading box as the window shows it.
struct TDownloadProgress {
    QString KestName;
    int32_t BlocksRequested = 0;
    int32_t BlocksExpected = 0;
};

// The window's lines: the please-wait line, then "<downloading from> <name>[p%]" per download.
QStringList DownloadStatusLines(const QString& pleaseWait, const QString& downloadingFrom,
                                const std::vector<TDownloadProgress>& downloads);

class TDownloadForm : public QWidget {
    Q_OBJECT

public:
    explicit TDownloadForm(TMainForm& mainForm);  // FormCreate

    // Shows the window centred on the main window, unless it is showing already.
    void ShowProgress();
    void DownloadStatusTimerTimer();
    void CancelLabelClick();

    QPlainTextEdit* DownloadStatusMemo = nullptr;
    TLabelButton* CancelLabel = nullptr;
    QTimer* DownloadStatusTimer = nullptr;

private:
    TMainForm& MainForm;
};
