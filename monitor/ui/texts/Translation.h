// The lookup of one translation in the language database language.sqlite, shared by the
// program's translator and the tools without windows. The table Languages holds one row per key
// with the text first met for it ("Default") and one column per language.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <cstdint>

class TMsgForm;

// Language numbers; each is the position of its column in Languages minus two.
constexpr uint8_t Language_English = 0;
constexpr uint8_t Language_Dutch = 1;
constexpr uint8_t Language_German = 2;
constexpr uint8_t Language_Spanish = 3;
constexpr uint8_t Language_Italian = 4;
constexpr uint8_t Language_French = 5;

struct TTranslationLookup {
    enum TResult { Found, Missing, Failed };
    TResult Result = Missing;
    QString Text;   // Found: the language's text, empty when the row has none
    QString Error;  // Failed: the database's words
};

// The row of key in the language's column; a number without a column reads English.
TTranslationLookup LookupTranslation(const QSqlDatabase& db, const QString& key, int language);

// Translates the message texts from the language database at path, read-only: a text without a
// translation keeps its English caption, and a missing or unreadable file leaves them all
// English. False when the file could not be read; error then holds why.
bool TranslateMsgForm(TMsgForm& texts, const QString& path, int language, QString* error = nullptr);
