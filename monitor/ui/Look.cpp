#include "Look.h"

#include <qcustomplot.h>

#include <QMouseEvent>
#include <QScreen>
#include <algorithm>

QFont Verdana(int pixels, bool bold) {
    QFont font(QStringLiteral("Verdana"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void PaintBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void WhiteText(QWidget* widget) {
    QPalette palette = widget->palette();
    // Only the caption: a check box draws its mark in the text colour on a white box.
    palette.setColor(QPalette::WindowText, Qt::white);
    widget->setPalette(palette);
}

QLabel* WhiteLabel(const QString& name, const QString& caption, QWidget* parent,
                   const QRect& geometry) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    WhiteText(label);
    return label;
}

void CentreOn(QWidget* window, const QWidget* over) {
    QScreen* screen = over ? over->screen() : window->screen();
    const QRect area = screen ? screen->availableGeometry() : QRect();
    const QPoint centre =
        over && over->isVisible() ? over->frameGeometry().center() : area.center();
    QRect placed(QPoint(0, 0), window->frameGeometry().size());
    placed.moveCenter(centre);
    if (area.isValid()) {
        // A window larger than the screen keeps its top left corner on it.
        placed.moveLeft(
            std::max(area.left(), std::min(placed.left(), area.right() + 1 - placed.width())));
        placed.moveTop(
            std::max(area.top(), std::min(placed.top(), area.bottom() + 1 - placed.height())));
    }
    window->move(placed.topLeft());
}

QCPTextElement* AddChartTitle(QCustomPlot* chart, const QString& text) {
    chart->plotLayout()->insertRow(0);
    auto* title = new QCPTextElement(chart, text, Verdana(16));
    title->setTextColor(Qt::white);
    title->setTextFlags(Qt::AlignLeft | Qt::AlignVCenter);
    chart->plotLayout()->addElement(0, 0, title);
    return title;
}

QCPLegend* DetachLegend(QCustomPlot* chart) {
    QCPLegend* legend = chart->legend;
    legend->setVisible(true);
    legend->setBrush(Window_Colour);
    legend->setBorderPen(Qt::NoPen);
    legend->setTextColor(Qt::white);
    legend->setFont(Verdana(11));
    chart->axisRect()->insetLayout()->take(legend);
    chart->axisRect()->insetLayout()->simplify();
    return legend;
}

void InitPictures() {
    Q_INIT_RESOURCE(pictures);
}

TLabelButton::TLabelButton(const QString& name, const QString& caption, QWidget* parent)
    : QLabel(caption, parent) {
    setObjectName(name);
    setAlignment(Qt::AlignCenter);
    setCursor(Qt::PointingHandCursor);
    WhiteText(this);
}

void TLabelButton::mousePressEvent(QMouseEvent* event) {
    Pressed = event->button() == Qt::LeftButton;
}

void TLabelButton::mouseReleaseEvent(QMouseEvent* event) {
    // A press that is dragged off the label and released elsewhere is no click.
    const bool click = Pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    Pressed = false;
    if (click) {
        emit clicked();
    }
}
