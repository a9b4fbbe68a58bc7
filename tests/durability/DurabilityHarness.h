// What the kill and disk-full tests share: programs started as children with their own
// environment (and, for a full disk without root, a file size limit), a look at a user database
// from a connection of the test's own, and the emulated boxes' model of what a download stores.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <chrono>
#include <map>
#include <tuple>
#include <vector>

#include "monitor/data/Store.h"
#include "tools/kestemu/Emulator.h"

namespace durability {

using namespace std::chrono_literals;

// A program running in the background, its standard output and error in a file of its own.
class Child {
public:
    Child() = default;
    ~Child();  // a child still running is killed
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // environment: "NAME=value" entries set on top of the test's own. fileSizeLimit > 0 caps
    // every file the child writes at that many bytes, as a full disk would (the signal that a
    // longer write raises is ignored, so the write itself fails).
    bool Start(const QString& program, const QStringList& arguments, const QStringList& environment,
               long fileSizeLimit = 0);
    bool Running();
    void Signal(int signal) const;
    // The exit code; -1 for a child ended by a signal; -2 when the limit ran out first, after
    // which the child is killed.
    int Wait(std::chrono::milliseconds limit = 120s);
    // True once the output holds text; false when the child ended or the limit ran out first.
    bool WaitForOutput(const QString& text, std::chrono::milliseconds limit);
    QString Output();

private:
    QTemporaryFile Log;
    pid_t Pid = -1;
    int ExitCode = -3;
};

// (box id, module type, resolution code, time stamp) -> stored yield
using Key = std::tuple<int, int, int, QString>;
using Rows = std::map<Key, int64_t>;

// A connection of the test's own to a user database, beside whatever program writes it.
class Reader {
public:
    explicit Reader(const TStore& store);
    explicit Reader(const QString& databasePath) : Reader(SqliteStore(databasePath)) {}
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool IsOpen() const { return Opened; }
    // Every committed sample.
    Rows Samples();
    int CountSamples();
    // Rows that share module, resolution and time stamp with another.
    int Duplicates();
    // SQLite's own check of the file; "ok" on PostgreSQL, whose files no client can damage.
    QString IntegrityCheck();
    // A box with its four modules present; its id.
    int AddKest(const QString& name, int port);
    bool Exec(const QString& statement);

private:
    QString Connection;
    bool Opened = false;
    bool Postgres = false;
};

kestemu::Config BoxConfig(uint32_t seed);
// The rows a download of one resolution stores for the box's four modules, newest first from
// the box's current period; month and year counts depend on the PC's date, as in the program.
Rows ModelRows(const kestemu::Emulator& box, int kestId, uint8_t resolution);
// Stored rows all hold the model's value; with complete set, every row of the model is stored.
::testing::AssertionResult Matches(const Rows& stored, const Rows& model, bool complete);
// Every row of before is still stored in after with the same value.
::testing::AssertionResult Keeps(const Rows& after, const Rows& before);

}  // namespace durability
