// The program's colours and fonts, the look its two charts share, and the white captions and
// label buttons its windows share.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>

class QCPLegend;
class QCPTextElement;
class QCustomPlot;

// The windows' background and the frame of the borderless windows.
inline const QColor Window_Colour(23, 39, 98);
inline const QColor Frame_Colour(242, 193, 25);

// Verdana at a pixel size; fontconfig substitutes a close family where it is missing.
QFont Verdana(int pixels, bool bold = false);
// Fills a widget's background with a colour.
void PaintBackground(QWidget* widget, const QColor& colour);
// White text on whatever lies behind the widget.
void WhiteText(QWidget* widget);
// A white caption, named and placed.
QLabel* WhiteLabel(const QString& name, const QString& caption, QWidget* parent,
                   const QRect& geometry);
// Places a top-level window over the middle of another (over the screen's middle when that one
// is not showing), kept inside the screen.
void CentreOn(QWidget* window, const QWidget* over);
// The charts' title, white Verdana 16 pixels at the left of a new row above the axes.
QCPTextElement* AddChartTitle(QCustomPlot* chart, const QString& text);
// The chart's legend, shown in the window colour with white Verdana 11 pixel text and taken out
// of the axis rectangle, for the caller to place in a layout of its own.
QCPLegend* DetachLegend(QCustomPlot* chart);
// Registers the compiled-in pictures; the library that carries them is static, so nothing pulls
// them in on its own. Safe to call more than once.
void InitPictures();

// A white label with centred text and a hand cursor that acts on a click.
class TLabelButton : public QLabel {
    Q_OBJECT

public:
    TLabelButton(const QString& name, const QString& caption, QWidget* parent);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool Pressed = false;
};
