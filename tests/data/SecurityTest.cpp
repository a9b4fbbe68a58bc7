// What keeps the user's data private and the database safe from its own texts: every SQL
// statement in the sources takes its values through bound parameters, and the data files keep
// the modes the install step gave them while the program works on them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include "DataHarness.h"
#include "monitor/can/CanObjects.h"
#include "monitor/data/dmUser.h"

namespace {

// A C++ source reduced to what matters here: comments dropped, string literals kept whole.
struct Token {
    enum Kind { Literal, Other } kind;
    QString text;
    int line;
};

std::vector<Token> Tokenize(const QString& source) {
    std::vector<Token> tokens;
    int line = 1;
    const int n = source.size();
    for (int i = 0; i < n;) {
        const QChar c = source[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c.isSpace()) {
            ++i;
        } else if (source.mid(i, 2) == QLatin1String("//")) {
            while (i < n && source[i] != '\n') {
                ++i;
            }
        } else if (source.mid(i, 2) == QLatin1String("/*")) {
            const int end = source.indexOf(QLatin1String("*/"), i + 2);
            const int stop = end < 0 ? n : end + 2;
            line += source.mid(i, stop - i).count('\n');
            i = stop;
        } else if (c == '"' || c == '\'') {
            int j = i + 1;
            while (j < n && source[j] != c && source[j] != '\n') {
                j += source[j] == '\\' ? 2 : 1;
            }
            tokens.push_back(
                {c == '"' ? Token::Literal : Token::Other, source.mid(i, j + 1 - i), line});
            i = j + 1;
        } else if (c.isLetterOrNumber() || c == '_') {
            int j = i;
            while (j < n && (source[j].isLetterOrNumber() || source[j] == '_')) {
                ++j;
            }
            tokens.push_back({Token::Other, source.mid(i, j - i), line});
            i = j;
        } else {
            tokens.push_back({Token::Other, QString(c), line});
            ++i;
        }
    }
    return tokens;
}

// A C++ statement that holds an SQL text and joins something into it. Values must travel as
// bound parameters instead; the only joins allowed are the reviewed ones below.
struct Finding {
    QString file;
    int line;
    QString sql;
};

const QRegularExpression& SqlText() {
    static const QRegularExpression sql(
        QStringLiteral("\\b(SELECT|INSERT INTO|UPDATE \\w+ SET|DELETE FROM|REPLACE INTO|CREATE "
                       "(TABLE|INDEX|VIEW|TRIGGER)|DROP|ALTER TABLE|PRAGMA|ATTACH)\\b"));
    return sql;
}

bool Joins(const std::vector<Token>& statement) {
    for (size_t i = 0; i < statement.size(); ++i) {
        const Token& t = statement[i];
        if (t.kind == Token::Literal && t.text.contains(QRegularExpression("%\\d"))) {
            return true;
        }
        if (t.kind != Token::Other) {
            continue;
        }
        static const QStringList joiners = {"+",         "arg",          "asprintf", "number",
                                            "to_string", "sprintf",      "snprintf", "append",
                                            "join",      "fromStdString"};
        if (joiners.contains(t.text)) {
            return true;
        }
    }
    return false;
}

std::vector<Finding> JoinedSql(const QString& file, const QString& source) {
    std::vector<Finding> findings;
    const std::vector<Token> tokens = Tokenize(source);
    std::vector<Token> statement;
    for (const Token& token : tokens) {
        const bool ends = token.kind == Token::Other &&
                          (token.text == ";" || token.text == "{" || token.text == "}");
        if (!ends) {
            statement.push_back(token);
            continue;
        }
        QString sql;
        int line = 0;
        for (const Token& t : statement) {
            if (t.kind == Token::Literal && SqlText().match(t.text).hasMatch() && sql.isEmpty()) {
                sql = t.text;
                line = t.line;
            }
        }
        if (!sql.isEmpty() && Joins(statement)) {
            findings.push_back({file, line, sql});
        }
        statement.clear();
    }
    return findings;
}

// Joins that were read and hold no value from outside: each puts together pieces of the code's
// own text.
struct ReviewedJoin {
    const char* file;
    const char* sql;
    const char* why;
};
const ReviewedJoin Reviewed_Joins[] = {
    {"monitor/data/ModuleQuery.cpp", "\"SELECT * FROM modules M\\n\"",
     "the module query's type number, one of the four module types the code constructs"},
    {"monitor/data/ModuleQuery.cpp", "\"UPDATE modules SET \"",
     "column names from Editable_Module_Fields; SetValue refuses any other name"},
    {"monitor/data/Coverage.cpp", "\"SELECT prev, ts, k - pk - 1 FROM (\"",
     "the slot arithmetic of the resolution, a constant of SlotNumberSql"},
};

bool IsReviewed(const Finding& finding) {
    for (const ReviewedJoin& reviewed : Reviewed_Joins) {
        if (finding.file == QLatin1String(reviewed.file) &&
            finding.sql == QLatin1String(reviewed.sql)) {
            return true;
        }
    }
    return false;
}

QStringList SourceFiles() {
    QStringList files;
    const QDir root(QStringLiteral(QUARNEL_SOURCE_DIR));
    for (const char* folder : {"link", "monitor", "tools"}) {
        QDirIterator it(root.filePath(QLatin1String(folder)), {"*.cpp", "*.h"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            files << root.relativeFilePath(it.next());
        }
    }
    files.sort();
    return files;
}

TEST(SqlStatements, BindEveryValueInsteadOfJoiningTexts) {
    // The walker itself must see a join and let a bound statement pass.
    const auto joined = JoinedSql("probe.cpp",
                                  "q.prepare(\"SELECT * FROM kests WHERE kest_name = '\" + name "
                                  "+ \"'\"); q.prepare(QString(\"DELETE FROM kests WHERE kest_id "
                                  "= %1\").arg(id)); q.prepare(\"SELECT * FROM kests WHERE "
                                  "kest_id = ?\"); q.addBindValue(id);");
    ASSERT_EQ(joined.size(), 2u);
    EXPECT_EQ(joined[0].sql, "\"SELECT * FROM kests WHERE kest_name = '\"");

    const QStringList files = SourceFiles();
    ASSERT_GT(files.size(), 50);
    int statements = 0;
    for (const QString& path : files) {
        QFile file(QDir(QStringLiteral(QUARNEL_SOURCE_DIR)).filePath(path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        const QString source = QString::fromUtf8(file.readAll());
        statements += int(source.count(SqlText()));
        for (const Finding& finding : JoinedSql(path, source)) {
            EXPECT_TRUE(IsReviewed(finding))
                << finding.file.toStdString() << ":" << finding.line
                << ": an SQL statement is built by joining texts: " << finding.sql.toStdString();
        }
    }
    EXPECT_GT(statements, 40) << "the walker no longer finds the program's statements";
}

mode_t ModeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777
                                                                   : mode_t(-1);
}

TEST(DataFiles, KeepTheModesOfTheInstallStepWhileTheProgramWritesThem) {
    QUARNEL_SQLITE_ONLY();
    datatest::DataFolderFixture folder;
    const QString user = folder.DatabasePath();
    const QString language = folder.Folder() + "language.sqlite";
    EXPECT_EQ(ModeOf(user), mode_t(0600));
    EXPECT_EQ(ModeOf(language), mode_t(0644));

    {
        datatest::TRecordingView view;
        TUserData data(view);
        ASSERT_TRUE(data.IsOpen());
        const int32_t kest = datatest::AddKestRow(data, datatest::KestSpec());
        ASSERT_GT(kest, 0);
        EXPECT_EQ(data.SaveYield(kest, Module_Type_A, Res_Ten_Minutes,
                                 QDateTime(QDate(2024, 6, 20), QTime(12, 0)), 1234),
                  TSaveResult::Written);
        // The journal files hold the same rows as the database, so they may be no more open.
        for (const QString& side : {user + "-wal", user + "-shm"}) {
            if (QFile::exists(side)) {
                EXPECT_EQ(ModeOf(side) & 0077, mode_t(0)) << side.toStdString();
            }
        }
    }
    EXPECT_EQ(ModeOf(user), mode_t(0600));
    EXPECT_EQ(ModeOf(language), mode_t(0644));
}

}  // namespace
