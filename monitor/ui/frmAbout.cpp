#include "frmAbout.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>

#include "Look.h"
#include "Pc2Lan.h"
#include "dmLanguage.h"

namespace {

const char* const Product_Name = "Tarnwell Connect";

QLabel* WhiteLabel(QWidget* parent, const QString& name, int pixels, const QRect& place) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setFont(Verdana(pixels));
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(place);
    WhiteText(label);
    return label;
}

}  // namespace

TAboutForm::TAboutForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About"));
    setModal(true);
    setFixedSize(445, 129);
    PaintBackground(this, Window_Colour);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(0, 0, 445, 48);
    Image1->setPixmap(QPixmap(QStringLiteral(":/pictures/banner.png")));

    LabelProgramName =
        WhiteLabel(this, QStringLiteral("LabelProgramName"), 27, QRect(0, 64, 441, 32));
    LabelProgramName->setText(QString::fromLatin1(Product_Name));
    LabelVersionNumber =
        WhiteLabel(this, QStringLiteral("LabelVersionNumber"), 13, QRect(8, 104, 161, 17));
    LabelDLLVersion =
        WhiteLabel(this, QStringLiteral("LabelDLLVersion"), 13, QRect(272, 104, 169, 17));

    LabelOK = new TLabelButton(QStringLiteral("LabelOK"), QStringLiteral("OK"), this);
    LabelOK->setFont(Verdana(13, true));
    LabelOK->setGeometry(180, 102, 73, 17);
    connect(LabelOK, &TLabelButton::clicked, this, &TAboutForm::LabelOKClick);
    TranslateOnCreate(this);
}

void TAboutForm::FormActivate() {
    // The version this program file was built as, four numbers joined by points.
    LabelVersionNumber->setText(QStringLiteral(QUARNEL_PROGRAM_VERSION));
    // The number the loaded link library reports, as it reports it.
    LabelDLLVersion->setText(QStringLiteral("DLL: ") + QString::number(Pc2Lan_Dll_Version()));
}

void TAboutForm::LabelOKClick() {
    accept();
}

void TAboutForm::showEvent(QShowEvent* event) {
    CentreOn(this, nullptr);
    QDialog::showEvent(event);
    FormActivate();
}

void TAboutForm::keyPressEvent(QKeyEvent* event) {
    // Any key closes the window with OK, Escape included.
    event->accept();
    accept();
}
