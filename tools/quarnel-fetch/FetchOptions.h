// The quarnel-fetch command line.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "Coverage.h"

// Exit codes: every box downloaded in full (or a coverage report); some box failed, was
// cancelled, or another run holds the database; bad arguments or no usable database.
constexpr int Exit_Complete = 0;
constexpr int Exit_Box_Failed = 1;
constexpr int Exit_Usage = 2;

struct TFetchOptions {
    QString DataDir;                   // empty: the program's data folder
    QStringList Boxes;                 // names or ids; empty: every on-line box
    std::vector<uint8_t> Resolutions;  // resolution codes in download order
    bool Quiet = false;
    bool Coverage = false;
    bool Full = false;      // the whole history, not only what the database lacks
    int RequestDelay = 80;  // ms the worker pauses after every request
};

enum class TParseResult { Run, Help, Version, Error };

// argv as Qt gives it, the program name first. On an error, message says what is wrong.
TParseResult ParseFetchOptions(const QStringList& arguments, TFetchOptions* options,
                               QString* message);
QString FetchUsage();

// "10min", "day", "month", "year" and their resolution codes; 0 for an unknown name.
uint8_t ResolutionOfName(const QString& name);
// How the reports name a resolution: "10 minutes", "days", "months", "years".
QString ResolutionText(uint8_t resolution);
