#include "MessageFrm.h"

#include "DebugLog.h"

TMsgForm::TMsgForm()
    : WindowCaption(QStringLiteral("Messages")),
      Entries{
          {"Connect_NoResponse", "No response"},
          {"Connect_ConnectingTo", "Connecting to"},
          {"Connect_NoResponseSolution", "Check the connection"},
          {"Connect_LoginFailed", "Login failed: Check username and password."},
          {"Connect_DisconnectedFrom", "Disconnected from"},
          {"DL_PleaseWait", "Please wait"},
          {"DownloadingFromLabel", "Downloading from"},
          // "Get data" leaves out a box that a service or another program is downloading.
          {"DL_BoxLocked", "Not downloaded now, as another program is downloading it:"},
          {"Interface_Redrawing", "Please wait, redrawing chart."},
          {"HelpFileName", "BasUser.pdf"},
          {"TotalForKEST", "(Total)"},
          {"InverterALabel", "(A)"},
          {"InverterBLabel", "(B)"},
          {"InverterCLabel", "(C)"},
          {"ChangePasswordError",
           "Password error; The password should be at least 8 characters long, and both fields "
           "should be the same."},
          {"ChangePasswordOk",
           "Please update the inverter password in the inverter list to reflect the new "
           "password."},
          {"ChangePasswordFailed", "An error occured while changing the password."},
          {"ChangePasswordNotAllowed",
           "The current user for this inverter cannot change a password. Login using "
           "administrator credentials."},
          {"FileSave", "Export"},
          {"FileLookin", "Look in:"},
          {"FileName", "File name:"},
          {"FileType", "Files of type:"},
          {"FileCancel", "Cancel"},
          // The program's own texts beyond the table above: the box list's delete question, the
          // file type of the export's file dialog and the heading of a failed export.
          {"DeleteRecord", "Delete record?"},
          {"FileTypeCSV", "Comma separated values (*.csv *.CSV)"},
          {"ExportNotWritten", "The file could not be written:"},
          // The service's desktop notifications of an inverter that stops producing while the
          // others of its box go on, and of the same inverter producing again.
          {"Alert_NotProducingTitle", "Inverter not producing"},
          {"Alert_NotProducing", "is not producing while the other inverters are"},
          {"Alert_ProducingAgainTitle", "Inverter producing again"},
          {"Alert_ProducingAgain", "is producing again"},
      } {}

QString TMsgForm::Text(const QString& label) const {
    for (const TMessageLabel& entry : Entries) {
        if (entry.Name == label) {
            return entry.Caption;
        }
    }
    DebugLine("***No message text " + label);
    return {};
}

bool TMsgForm::SetText(const QString& label, const QString& caption) {
    for (TMessageLabel& entry : Entries) {
        if (entry.Name == label) {
            entry.Caption = caption;
            return true;
        }
    }
    return false;
}

QString TMsgForm::TranslationKey(const QString& label) {
    return Name() + '.' + label + QStringLiteral(".caption");
}
