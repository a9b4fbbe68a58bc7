#include "Dialogs.h"

#include <QDialog>
#include <QMessageBox>

namespace Dialogs {
namespace {

QList<int> Answers;
QList<TAsked> Asked;

bool TakeAnswer(TKind kind, const QString& text, int* answer) {
    if (Answers.isEmpty()) {
        return false;
    }
    *answer = Answers.takeFirst();
    Asked.append({kind, text});
    return true;
}

}  // namespace

void ShowError(QWidget* parent, const QString& text) {
    int answer = 0;
    if (!TakeAnswer(TKind::Error, text, &answer)) {
        QMessageBox::critical(parent, QString(), text, QMessageBox::Ok);
    }
}

void ShowInformation(QWidget* parent, const QString& text) {
    int answer = 0;
    if (!TakeAnswer(TKind::Information, text, &answer)) {
        QMessageBox::information(parent, QString(), text, QMessageBox::Ok);
    }
}

bool Confirm(QWidget* parent, const QString& text) {
    int answer = 0;
    if (!TakeAnswer(TKind::Question, text, &answer)) {
        answer = QMessageBox::question(parent, QString(), text, QMessageBox::Yes | QMessageBox::No,
                                       QMessageBox::No);
    }
    return answer == QMessageBox::Yes;
}

int Exec(QDialog* dialog) {
    int answer = 0;
    if (TakeAnswer(TKind::Window, dialog->objectName(), &answer)) {
        return answer;
    }
    return dialog->exec();
}

void PreAnswer(int answer) {
    Answers.append(answer);
}

QList<TAsked> TakeAsked() {
    Answers.clear();
    QList<TAsked> asked;
    asked.swap(Asked);
    return asked;
}

}  // namespace Dialogs
