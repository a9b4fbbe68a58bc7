// Writes the export file of one box as the export window would, without the window: every
// present module of the box is a column, the locale is the user's, and a period is corrected and
// widened like the window's.
//
// usage: exportcheck DATA_FOLDER BOX_NAME RESOLUTION FILE [FROM TO]
//   RESOLUTION 0 ten minutes, 1 daily, 2 monthly, 3 yearly; FROM and TO as yyyy-MM-dd; without
//   them everything stored is exported. Prints the locale's date and time formats and decimal
//   separator, one "name=value" line each.
#include <QCoreApplication>
#include <QDate>
#include <QFileInfo>
#include <QLocale>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <cstdio>

#include "CanObjects.h"
#include "ExportData.h"
#include "KWhChart.h"
#include "MessageFrm.h"
#include "NaiveTime.h"

namespace {

int Fail(const QString& text) {
    std::fprintf(stderr, "exportcheck: %s\n", qPrintable(text));
    return 1;
}

int ColumnOf(int moduleType) {
    switch (moduleType) {
        case Module_Total:
            return Column_Total;
        case 4:
            return Column_A;
        case 8:
            return Column_B;
        case 12:
            return Column_C;
        default:
            return -1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5 && args.size() != 7) {
        std::fprintf(stderr, "usage: exportcheck DATA_FOLDER BOX_NAME RESOLUTION FILE [FROM TO]\n");
        return 2;
    }
    bool number = false;
    TExportRequest request;
    request.KestName = args[2];
    request.Resolution = args[3].toInt(&number);
    if (!number || request.Resolution < 0 || request.Resolution > 3) {
        return Fail(QStringLiteral("the resolution must be 0, 1, 2 or 3"));
    }
    request.AllAvailable = args.size() == 5;
    if (!request.AllAvailable) {
        const QDate from = QDate::fromString(args[5], Qt::ISODate);
        const QDate to = QDate::fromString(args[6], Qt::ISODate);
        if (!from.isValid() || !to.isValid()) {
            return Fail(QStringLiteral("the period must be two dates yyyy-MM-dd"));
        }
        const TDayRange range = CorrectRange(from, to, NaiveNow().date());
        request.Range = WidenRange(request.Resolution + 1, range.Start, range.End);
    }

    const QString connection = QStringLiteral("exportcheck");
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    const QString path = args[1] + QStringLiteral("/KestUser.sqlite");
    // Opening a missing file would create an empty database in the folder.
    if (!QFileInfo(path).isFile()) {
        return Fail(QStringLiteral("no database %1").arg(path));
    }
    db.setDatabaseName(path);
    if (!db.open()) {
        return Fail(db.lastError().text());
    }
    QSqlQuery modules(db);
    modules.prepare(
        "SELECT module_id, module_type FROM modules JOIN kests ON module_kest = kest_id "
        "WHERE kest_name = ? AND module_ispresent = 1");
    modules.addBindValue(request.KestName);
    if (!modules.exec()) {
        return Fail(modules.lastError().text());
    }
    while (modules.next()) {
        const int column = ColumnOf(modules.value(1).toInt());
        if (column >= 0) {
            request.ModuleIds[size_t(column)] = modules.value(0).toInt();
            request.Columns[size_t(column)] = true;
        }
    }

    const TMsgForm messages;
    QString error;
    if (!WriteExportFile(args[4], connection, request, messages, QLocale::system(), &error)) {
        return Fail(error);
    }
    // What a program reading the file must know to take its dates and numbers back.
    const QLocale locale = QLocale::system();
    std::printf("date-format=%s\ntime-format=%s\ndecimal=%s\n",
                qPrintable(locale.dateFormat(QLocale::ShortFormat)),
                qPrintable(locale.timeFormat(QLocale::LongFormat)),
                qPrintable(locale.decimalPoint()));
    return 0;
}
