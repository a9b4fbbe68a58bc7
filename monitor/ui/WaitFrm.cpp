#include "WaitFrm.h"

#include <QBitmap>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QThread>
#include <QWindow>

#include "Look.h"
#include "dmLanguage.h"

namespace {

const QSize Window_Size(293, 65);
const QRect Panel_Place(8, 8, 281, 49);
const QPoint Label_Place(40, 18);
// How long the window may take to appear before the caller goes on regardless.
const int Expose_Limit_Ms = 300;

}  // namespace

TWaitForm::TWaitForm(QWidget* mainWindow)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), MainWindow(mainWindow) {
    setObjectName(QStringLiteral("WaitForm"));
    setWindowTitle(QStringLiteral("Wait"));
    setFixedSize(Window_Size);
    PaintBackground(this, Frame_Colour);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(Panel_Place);
    PaintBackground(Panel1, Window_Colour);

    // The symbol is drawn on pure blue, which stands for "no picture here".
    QPixmap symbol(QStringLiteral(":/pictures/wait.png"));
    if (!symbol.isNull()) {
        symbol.setMask(symbol.createMaskFromColor(QColor(0, 0, 255), Qt::MaskInColor));
    }
    Image1 = new QLabel(Panel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(symbol);
    Image1->setGeometry(QRect(QPoint(11, 10), symbol.isNull() ? QSize(20, 20) : symbol.size()));

    WaitLabel = new QLabel(QStringLiteral("Wait"), Panel1);
    WaitLabel->setObjectName(QStringLiteral("WaitLabel"));
    WaitLabel->setFont(Verdana(11, true));
    WhiteText(WaitLabel);
    WaitLabel->move(Label_Place);
    TranslateOnCreate(this);
}

void TWaitForm::ShowText(const QString& text) {
    WaitLabel->setText(text);
    // A long box name widens the window rather than being cut off.
    const int textWidth = WaitLabel->fontMetrics().horizontalAdvance(text) + 4;
    const int panelWidth = qMax(Panel_Place.width(), Label_Place.x() + textWidth + 12);
    WaitLabel->resize(panelWidth - Label_Place.x() - 8, WaitLabel->sizeHint().height());
    Panel1->resize(panelWidth, Panel_Place.height());
    setFixedSize(panelWidth + 2 * Panel_Place.x(), Window_Size.height());

    CentreOn(this, MainWindow);
    show();
    raise();
    // The caller blocks this thread next (a network connect), so the window has to be on the
    // screen before returning. Only window-system and timer events run here: a click or key
    // meant for the main window must not act while the program is busy.
    QElapsedTimer waited;
    waited.start();
    while (!(windowHandle() && windowHandle()->isExposed()) && waited.elapsed() < Expose_Limit_Ms) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
        QThread::msleep(2);
    }
    repaint();
}
