// Every modal box and modal window of the program is shown through here. A test answers the next
// ones in advance: then nothing is shown, and what would have been asked is recorded.
#pragma once

#include <QList>
#include <QString>

class QDialog;
class QWidget;

namespace Dialogs {

enum class TKind { Error, Information, Question, Window };

struct TAsked {
    TKind Kind;
    QString Text;  // the message, or a modal window's objectName
};

// A modal error or information box with one OK button.
void ShowError(QWidget* parent, const QString& text);
void ShowInformation(QWidget* parent, const QString& text);
// A yes/no question; true for yes.
bool Confirm(QWidget* parent, const QString& text);
// Shows a window modally; its result.
int Exec(QDialog* dialog);

// The test seam: answers the next dialog with this value (QMessageBox::Ok, Yes, No, or a
// QDialog result code), in the order given.
void PreAnswer(int answer);
// What the pre-answered dialogs asked, oldest first; clears the record and the unused answers.
QList<TAsked> TakeAsked();

}  // namespace Dialogs
