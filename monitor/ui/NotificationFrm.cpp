#include "NotificationFrm.h"

#include <QCloseEvent>
#include <QFrame>
#include <QPlainTextEdit>

#include "Look.h"
#include "dmLanguage.h"

TNotificationForm::TNotificationForm(QWidget* mainWindow)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      MainWindow(mainWindow) {
    setObjectName(QStringLiteral("NotificationForm"));
    setWindowTitle(QStringLiteral("Notification"));
    setFixedSize(377, 199);
    PaintBackground(this, Frame_Colour);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(8, 8, 361, 185);
    PaintBackground(Panel1, Window_Colour);

    EventMemo = new QPlainTextEdit(this);
    EventMemo->setObjectName(QStringLiteral("EventMemo"));
    EventMemo->setGeometry(16, 16, 345, 137);
    EventMemo->setReadOnly(true);
    EventMemo->setFrameShape(QFrame::Box);
    EventMemo->setFrameShadow(QFrame::Plain);
    EventMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    EventMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    EventMemo->setFont(Verdana(11));

    ClosePanel = new TLabelButton(QStringLiteral("ClosePanel"), QStringLiteral("Close"), this);
    ClosePanel->setGeometry(288, 160, 73, 25);
    ClosePanel->setFont(Verdana(11, true));
    ClosePanel->setFrameShape(QFrame::Box);
    ClosePanel->setFrameShadow(QFrame::Plain);
    ClosePanel->setLineWidth(1);
    QPalette palette = ClosePanel->palette();
    palette.setColor(QPalette::WindowText, Qt::white);  // the frame's colour too
    ClosePanel->setPalette(palette);
    connect(ClosePanel, &TLabelButton::clicked, this, &TNotificationForm::ClosePanelClick);
    TranslateOnCreate(this);
}

void TNotificationForm::Notify(const QString& line) {
    // One event, one line, even when a box name stored elsewhere holds a line break.
    QString oneLine = line;
    oneLine.replace(u'\r', u' ').replace(u'\n', u' ');
    EventMemo->appendPlainText(oneLine);
    EventMemo->ensureCursorVisible();
    // A window the user is already looking at is left where it is.
    if (isVisible() && isActiveWindow()) {
        return;
    }
    CentreOn(this, MainWindow);
    show();
    raise();
    activateWindow();
}

void TNotificationForm::ClosePanelClick() {
    close();
}

QStringList TNotificationForm::Lines() const {
    const QString text = EventMemo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

void TNotificationForm::closeEvent(QCloseEvent* event) {
    // The next event starts a fresh list.
    EventMemo->clear();
    event->accept();
}
