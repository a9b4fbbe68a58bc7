#include "DownloadFrm.h"

#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>

#include "Acquisition.h"
#include "CANMessages.h"
#include "Look.h"
#include "MessageFrm.h"
#include "Sessions.h"
#include "dmLanguage.h"
#include "frmMain.h"

QStringList DownloadStatusLines(const QString& pleaseWait, const QString& downloadingFrom,
                                const std::vector<TDownloadProgress>& downloads) {
    QStringList lines{pleaseWait};
    for (const TDownloadProgress& d : downloads) {
        lines << downloadingFrom + ' ' + d.KestName + '[' +
                     QString::number(DownloadPercent(d.BlocksRequested, d.BlocksExpected)) + "%]";
    }
    return lines;
}

TDownloadForm::TDownloadForm(TMainForm& mainForm)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      MainForm(mainForm) {
    setObjectName(QStringLiteral("DownloadForm"));
    setWindowTitle(QStringLiteral("DownloadForm"));
    setFixedSize(225, 199);
    PaintBackground(this, Frame_Colour);

    DownloadStatusMemo = new QPlainTextEdit(this);
    DownloadStatusMemo->setObjectName(QStringLiteral("DownloadStatusMemo"));
    DownloadStatusMemo->setGeometry(8, 8, 209, 145);
    DownloadStatusMemo->setFrameShape(QFrame::NoFrame);
    DownloadStatusMemo->setReadOnly(true);
    DownloadStatusMemo->setFocusPolicy(Qt::NoFocus);
    DownloadStatusMemo->setFont(Verdana(11));

    // A white button on the frame colour, its caption in the window colour to stay readable.
    CancelLabel = new TLabelButton(QStringLiteral("CancelLabel"), QStringLiteral("Cancel"), this);
    CancelLabel->setGeometry(120, 160, 97, 33);
    CancelLabel->setFont(Verdana(13, true));
    PaintBackground(CancelLabel, Qt::white);
    QPalette palette = CancelLabel->palette();
    palette.setColor(QPalette::WindowText, Window_Colour);
    CancelLabel->setPalette(palette);
    connect(CancelLabel, &TLabelButton::clicked, this, &TDownloadForm::CancelLabelClick);

    // Runs for the program's whole life, also while the window is hidden.
    DownloadStatusTimer = new QTimer(this);
    DownloadStatusTimer->setObjectName(QStringLiteral("DownloadStatusTimer"));
    DownloadStatusTimer->setInterval(500);
    connect(DownloadStatusTimer, &QTimer::timeout, this, &TDownloadForm::DownloadStatusTimerTimer);
    DownloadStatusTimer->start();
    TranslateOnCreate(this);
}

void TDownloadForm::ShowProgress() {
    if (isVisible()) {
        return;
    }
    CentreOn(this, &MainForm);
    show();
}

void TDownloadForm::DownloadStatusTimerTimer() {
    // While a channel is being torn down or a box connected, the channel list is in flux.
    if (MainForm.SessionCodeBusy()) {
        return;
    }
    if (TAcquisition* acquisition = MainForm.Acquisition()) {
        acquisition->EndFailedDownloads();
        acquisition->ReleaseEndedDownloads();
    }
    std::vector<TDownloadProgress> downloads;
    if (TKestSessions* sessions = MainForm.Sessions()) {
        for (const auto& channel : sessions->Channels) {
            if (channel && channel->Downloading) {
                downloads.push_back({sessions->KestName(channel->KestId()),
                                     channel->BlocksRequested, channel->BlocksExpected});
            }
        }
    }
    const TMsgForm& texts = MainForm.Messages();
    const QStringList lines =
        DownloadStatusLines(texts.Text(QStringLiteral("DL_PleaseWait")),
                            texts.Text(QStringLiteral("DownloadingFromLabel")), downloads);
    const QString text = lines.join('\n');
    if (DownloadStatusMemo->toPlainText() != text) {
        DownloadStatusMemo->setPlainText(text);
    }
    // The last download has ended: the chart shows what was stored.
    if (lines.size() <= 1 && isVisible()) {
        close();
        MainForm.DrawkWhChart(MainForm.SelectedGraphType());
    }
}

void TDownloadForm::CancelLabelClick() {
    if (TAcquisition* acquisition = MainForm.Acquisition()) {
        acquisition->CancelDownloads();
    }
}
