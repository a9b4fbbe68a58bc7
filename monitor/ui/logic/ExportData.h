// The export file: the stored yield of one box at one resolution as semicolon-separated lines,
// written without a window so that tests compare its bytes.
#pragma once

#include <QByteArray>
#include <QLocale>
#include <QString>
#include <array>
#include <cstdint>

#include "KWhChart.h"

class QIODevice;
class TMsgForm;

// The four columns in file order.
enum TExportColumn : int { Column_Total = 0, Column_A = 1, Column_B = 2, Column_C = 3 };
constexpr int Export_Column_Count = 4;

struct TExportRequest {
    QString KestName;
    std::array<int32_t, Export_Column_Count> ModuleIds{};  // 0 where the box has no such module
    std::array<bool, Export_Column_Count> Columns{};       // the columns written
    int Resolution = 0;  // 0 ten minutes, 1 daily, 2 monthly, 3 yearly
    bool AllAvailable = false;
    TSlotRange Range;  // already widened; not used with AllAvailable
};

// The locale's long time format without its time zone part: stored times belong to no zone.
QString NaiveLongTimeFormat(const QLocale& locale);
// The header line's text, without its line end.
QByteArray ExportHeader(const TExportRequest& request, const TMsgForm& messages);

// Writes the header line and one line per stored time stamp to out. False with a message when
// the database cannot be read or out cannot be written.
bool WriteExport(QIODevice* out, const QString& connection, const TExportRequest& request,
                 const TMsgForm& messages, const QLocale& locale, QString* error);
// The same into a file that is replaced only once the whole export has been written.
bool WriteExportFile(const QString& path, const QString& connection, const TExportRequest& request,
                     const TMsgForm& messages, const QLocale& locale, QString* error);
