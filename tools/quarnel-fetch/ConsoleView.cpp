#include "ConsoleView.h"

#include <cstdio>

#include "CANMessages.h"
#include "Sessions.h"

namespace {

void Write(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Box names come from the database and may hold anything; a control character in one must not
// steer the terminal.
QString Printable(const QString& text) {
    QString shown = text;
    for (QChar& c : shown) {
        if (c.category() == QChar::Other_Control) {
            c = u'?';
        }
    }
    return shown;
}

}  // namespace

TConsole::TConsole(bool terminal, bool quiet) : IsTerminal(terminal), IsQuiet(quiet) {}

void TConsole::ShowProgress(const QStringList& lines) {
    if (!IsTerminal || IsQuiet) {
        return;
    }
    QString text;
    if (ShownLines > 0) {
        text += QStringLiteral("\x1b[%1A").arg(ShownLines);  // back to the block's first line
    }
    for (const QString& line : lines) {
        text += "\r\x1b[K" + Printable(line) + '\n';
    }
    ShownLines = int(lines.size());
    Write(stdout, text);
}

void TConsole::Line(const QString& text) {
    ShownLines = 0;
    Write(stdout, Printable(text) + '\n');
}

void TConsole::Problem(const QString& text) {
    ShownLines = 0;
    Write(stderr, Printable(text) + '\n');
}

void TConsoleView::ShowError(const QString& text) {
    Errors << text;
    // The texts are made for a dialog, some with line breaks of their own.
    QString line = text;
    line.replace(QLatin1String("\n\r"), QLatin1String(" "));
    Console.Problem(line.simplified());
}

void TConsoleView::ShowNotification(const QString& text) {
    Console.Problem(text);
}

void TConsoleView::AddCheckListItem(TModuleList list, const TCheckListItem& item) {
    Items(list).push_back(item);
}

int TConsoleView::CheckListCount(TModuleList list) const {
    return int(Items(list).size());
}

TCheckListItem TConsoleView::CheckListItem(TModuleList list, int index) const {
    const auto& items = Items(list);
    return index >= 0 && size_t(index) < items.size() ? items[size_t(index)] : TCheckListItem();
}

void TConsoleView::SetCheckListItemChecked(TModuleList list, int index, bool checked) {
    auto& items = Items(list);
    if (index >= 0 && size_t(index) < items.size()) {
        items[size_t(index)].Checked = checked;
    }
}

void TConsoleView::DeselectDisconnect(TCANMessages* channel) {
    if (channel != nullptr && Sessions != nullptr) {
        Sessions->DisconnectKest(channel->KestId());
    }
}
