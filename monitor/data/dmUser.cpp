#include "dmUser.h"

#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQueryModel>
#include <QSqlTableModel>
#include <QUrl>
#include <limits>

#include "CANMessages.h"
#include "DebugLog.h"
#include "HistorySlots.h"
#include "MainView.h"

namespace {

bool WholeNumber(const QVariant& value, qint64* number) {
    if (value.isNull() || value.typeId() == QMetaType::QByteArray) {
        return false;
    }
    bool ok = false;
    *number = value.toString().trimmed().toLongLong(&ok);
    return ok;
}

// The database's words for a failure; never empty, so that a failure is never taken for none.
QString Reason(const QString& text) {
    return text.trimmed().isEmpty() ? QStringLiteral("Database error") : text;
}

// Runs a prepared lookup and reads its rows; true when exactly one row matched. A lookup that
// could not run matches nothing and leaves the database's words in error.
template <typename Read>
bool ExactlyOne(QSqlQuery& query, QString* error, Read read) {
    error->clear();
    if (!query.exec()) {
        *error = Reason(query.lastError().text());
        return false;
    }
    int rows = 0;
    while (query.next()) {
        if (++rows == 1) {
            read(query);
        }
    }
    query.finish();
    return rows == 1;
}

// One statement stores a sample or updates the stored one, and writes nothing for a value
// stored already (no row affected). An unchanged value must not reach the insert at all: both
// engines draw the next sample_id before they find the conflict, SQLite then writes the raised
// sequence number, and PostgreSQL locks the conflicting row, which dirties its page and logs the
// lock; a repeated download would write a page per sample. The guard leaves nothing to insert.
QString SampleUpsertSql(TEngine engine) {
    if (engine == TEngine::PostgreSQL) {
        // The parameters' types come from the casts: a bare one in the select list is text. The
        // update's condition covers a writer beside this one storing the same value meanwhile.
        return QStringLiteral(
            "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, "
            "sample_yield) SELECT v.m, v.t, v.r, v.y FROM (SELECT CAST(? AS integer) AS m, "
            "CAST(? AS text) COLLATE \"C\" AS t, CAST(? AS integer) AS r, CAST(? AS bigint) "
            "AS y) AS v WHERE NOT EXISTS (SELECT 1 FROM samples WHERE sample_module = v.m "
            "AND sample_timestamp = v.t AND sample_resolution = v.r AND sample_yield = v.y) "
            "ON CONFLICT (sample_module, sample_timestamp, sample_resolution) "
            "DO UPDATE SET sample_yield = excluded.sample_yield "
            "WHERE samples.sample_yield IS DISTINCT FROM excluded.sample_yield");
    }
    return QStringLiteral(
        "INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, "
        "sample_yield) SELECT v.m, v.t, v.r, v.y FROM (SELECT ? AS m, ? AS t, ? AS r, "
        "? AS y) AS v WHERE NOT EXISTS (SELECT 1 FROM samples WHERE sample_module = v.m "
        "AND sample_timestamp = v.t AND sample_resolution = v.r AND sample_yield = v.y) "
        "ON CONFLICT (sample_module, sample_timestamp, sample_resolution) "
        "DO UPDATE SET sample_yield = excluded.sample_yield");
}

// Each data module has its own connection, so several can be open at once (tests, benchmarks).
QString ConnectionNameOf(const TUserData* module) {
    return QStringLiteral("KestUser-%1").arg(quintptr(module), 0, 16);
}

}  // namespace

const std::array<uint32_t, 22> ModuleColours = {
    0xFF000000, 0xFF800000, 0xFF008000, 0xFF808000, 0xFF000080, 0xFF800080, 0xFF008080, 0xFF808080,
    0xFFC0C0C0, 0xFFFF0000, 0xFF00FF00, 0xFFFFFF00, 0xFF0000FF, 0xFFFF00FF, 0xFF00FFFF, 0xFFC0C0C0,
    0xFFA0A0A4, 0xFF808080, 0xFFFFFFFF, 0xFFC0DCC0, 0xFFA6CAF0, 0xFFFFFBF0,
};

QString MissingFileMessage(const QString& path) {
    return "ERROR: Critical file " + path + " not found. Please reinstall the application.";
}

QSqlDatabase AddExistingDatabase(const QString& connection, const QString& path) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    // mode=rw: a missing file is an error, never a new empty database.
    QUrl url = QUrl::fromLocalFile(path);
    url.setQuery(QStringLiteral("mode=rw"));
    // The desktop program and quarnel-fetch write the same file; WAL lets them read beside each
    // other, and the busy time-out lets a writer wait out the other's short transactions.
    db.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(Busy_Timeout_Ms));
    db.setDatabaseName(url.toString(QUrl::FullyEncoded));
    return db;
}

namespace {

// The store for DataFolder(), and why it cannot be used (empty when it can).
std::pair<TStore, QString> ChosenStore() {
    TStore store;
    QString error;
    if (!ChooseStore(DataFolder(), &store, &error)) {
        store = SqliteStore(QString());
    }
    return {store, error};
}

}  // namespace

TUserData::TUserData(TMainView& view) : TUserData(view, ChosenStore()) {}

TUserData::TUserData(TMainView& view, const QString& path) : TUserData(view, SqliteStore(path)) {}

TUserData::TUserData(TMainView& view, const TStore& store)
    : TUserData(view, std::pair{store, QString()}) {}

TUserData::TUserData(TMainView& view, const std::pair<TStore, QString>& chosen)
    : Store(chosen.first),
      DatabasePath(Store.Shown),
      InvertersAQuery(ConnectionNameOf(this), Module_Type_A),
      InvertersBQuery(ConnectionNameOf(this), Module_Type_B),
      InvertersCQuery(ConnectionNameOf(this), Module_Type_C),
      MonitorsQuery(ConnectionNameOf(this), Module_Type_Total),
      View(view),
      Connection(ConnectionNameOf(this)),
      StoreError(chosen.second) {
    Create();
}

TUserData::~TUserData() {
    CloseDatabase();
}

void TUserData::Create() {
    CloseDatabase();
    if (!StoreError.isEmpty()) {
        View.ShowError(StoreError);
        View.RequestQuit();
        return;
    }
    if (!Store.IsPostgreSQL() && !QFileInfo::exists(DatabasePath)) {
        View.ShowError(MissingFileMessage(DatabasePath));
        View.RequestQuit();
        return;
    }
    OpenDatabase();
}

QSqlDatabase TUserData::Database() const {
    return QSqlDatabase::database(Connection, false);
}

void TUserData::ShowDatabaseError(const QString& text) {
    // A lost store is told once, by OnStoreLost when it is set.
    const bool known = Lost;
    if (NoteLost(text) && (known || OnStoreLost)) {
        return;
    }
    View.ShowError(Reason(text));
}

void TUserData::NoteLookup(const QString& error) {
    if (error.isEmpty()) {
        LookupFailing = false;
        return;
    }
    DebugLine("Lookup failed: " + error);
    const bool known = Lost;
    if (NoteLost(error) && (known || OnStoreLost)) {
        LookupFailing = true;
        return;
    }
    if (!LookupFailing) {
        LookupFailing = true;
        ShowDatabaseError(error);
    }
}

void TUserData::OpenDatabase() {
    CloseDatabase();
    {
        QSqlDatabase db = AddStoreDatabase(Connection, Store);
        if (!db.open()) {
            ShowDatabaseError(Store.IsPostgreSQL()
                                  ? "The user database " + DatabasePath +
                                        " cannot be opened: " + db.lastError().text()
                                  : db.lastError().text());
            return;
        }
        QString error;
        if (!ApplySessionSettings(&error)) {
            ShowDatabaseError(error);
            return;
        }
    }
    if (!CheckStructure()) {
        CloseDatabase();
        return;
    }
    // Files made by earlier install steps are brought up to date; a PostgreSQL store has been
    // made by this one, and a change of its tables would wait for every other program on it.
    if (!Store.IsPostgreSQL()) {
        AddMissingIndexes();
        THistoryReach::AddTable(Database());
        SwapOldDiagonalLabels();
    }
    Opened = OpenDataSets();
    if (Opened) {
        Reach.Open(Database());
    }
}

bool TUserData::ApplySessionSettings(QString* error) {
    QSqlQuery pragma(Database());
    // Deleting a box deletes its modules and their samples (always so on PostgreSQL). A commit
    // need not wait for the disk: a crash of the program loses nothing committed, and what a
    // crash of the computer or the server takes back is downloaded again.
    const QStringList settings = Store.IsPostgreSQL()
                                     ? QStringList{QStringLiteral("SET synchronous_commit = off")}
                                     : QStringList{QStringLiteral("PRAGMA foreign_keys = ON"),
                                                   QStringLiteral("PRAGMA synchronous = NORMAL")};
    for (const QString& setting : settings) {
        if (!pragma.exec(setting)) {
            *error = Reason(pragma.lastError().text());
            return false;
        }
    }
    return true;
}

bool TUserData::CheckStructure() {
    QSqlQuery version(Database());
    // The first row: SQLite's row number is the order of insertion, which PostgreSQL lacks.
    if (!version.exec(Store.IsPostgreSQL()
                          ? QStringLiteral("SELECT version_major, version_minor FROM version "
                                           "ORDER BY ctid LIMIT 1")
                          : QStringLiteral("SELECT version_major, version_minor FROM version "
                                           "ORDER BY rowid LIMIT 1"))) {
        ShowDatabaseError(version.lastError().text());
        return false;
    }
    // Only whole numbers are a structure version: SQLite stores whatever a column is given, and
    // a text, a fraction or an empty field must not pass for 0 (nor a huge number for one that
    // fits in 32 bits).
    qint64 major = 0;
    qint64 minor = 0;
    if (!version.next() || !WholeNumber(version.value(0), &major) ||
        !WholeNumber(version.value(1), &minor)) {
        version.finish();
        ShowDatabaseError("The users database in " + DatabasePath + " has no structure version.");
        return false;
    }
    version.finish();
    const QString lines = QStringLiteral("\n\r");
    if (major > 0 || (major == 0 && minor > 0)) {
        View.ShowError("The structure of the users database in" + lines + DatabasePath + lines +
                       "is newer than this program expects. You MUST upgrade" + lines +
                       "to a newer release if you want to use this database.");
        return false;
    }
    if (major < 0 || (major == 0 && minor < 0)) {
        View.ShowError("The structure of the users database in" + lines + DatabasePath + lines +
                       "is older than this program expects. You should" + lines +
                       "use an older version of the program or upgrade the" + lines +
                       "structure of this users database.");
        return false;
    }
    return true;
}

void TUserData::AddMissingIndexes() {
    // Databases made by an earlier install step lack the index the history chart and the export
    // read through. It changes no data, so the structure version stays; without it (a read-only
    // file, a lock held by another program) the program still works, only slower.
    QSqlQuery index(Database());
    if (!index.exec(
            QStringLiteral("CREATE INDEX IF NOT EXISTS samples_by_module_resolution_time "
                           "ON samples (sample_module, sample_resolution, sample_timestamp)"))) {
        DebugLine("OpenDatabase: no index on samples: " + index.lastError().text());
    }
}

void TUserData::SwapOldDiagonalLabels() {
    // An earlier install step labelled fill 4 "/" and fill 5 "\", the mirror of what the
    // charts draw. Only that exact pair is swapped: labels a user changed stay. The labels are
    // read first, so that opening an up-to-date file writes nothing. Like the index, this
    // changes no structure, and without it (a read-only file, a lock held by another program)
    // only the labels stay as they were.
    const QString oldFour = QStringLiteral("Diagonal /");
    const QString oldFive = QStringLiteral("Diagonal \\");
    QSqlQuery labels(Database());
    labels.setForwardOnly(true);
    if (!labels.exec(QStringLiteral(
            "SELECT pattern_nr, pattern_text FROM patterns WHERE pattern_nr IN (4, 5)"))) {
        DebugLine("OpenDatabase: no pattern labels: " + labels.lastError().text());
        return;
    }
    QHash<int, QString> found;
    int rows = 0;
    while (labels.next()) {
        ++rows;
        found.insert(labels.value(0).toInt(), labels.value(1).toString());
    }
    labels.finish();
    if (rows != 2 || found.value(4) != oldFour || found.value(5) != oldFive) {
        return;
    }
    QSqlQuery swap(Database());
    // The same test once more in the statement: another program may have changed them since.
    if (!swap.prepare(QStringLiteral(
            "UPDATE patterns SET pattern_text = CASE pattern_nr WHEN 4 THEN ? ELSE ? END "
            "WHERE pattern_nr IN (4, 5) "
            "AND (SELECT pattern_text FROM patterns WHERE pattern_nr = 4) = ? "
            "AND (SELECT pattern_text FROM patterns WHERE pattern_nr = 5) = ?"))) {
        DebugLine("OpenDatabase: pattern labels not swapped: " + swap.lastError().text());
        return;
    }
    for (const QString& value : {oldFive, oldFour, oldFour, oldFive}) {
        swap.addBindValue(value);
    }
    if (!swap.exec()) {
        DebugLine("OpenDatabase: pattern labels not swapped: " + swap.lastError().text());
    }
}

bool TUserData::OpenDataSets() {
    const QSqlDatabase db = Database();
    auto failed = [this](const QString& text) {
        ShowDatabaseError(text);
        return false;
    };

    KestsTable = new QSqlTableModel(nullptr, db);
    KestsTable->setTable(QStringLiteral("kests"));
    KestsTable->setEditStrategy(QSqlTableModel::OnManualSubmit);
    // SQLite gives the rows in the order of their ids; PostgreSQL in no order, unless asked.
    KestsTable->setSort(KestsTable->fieldIndex(QStringLiteral("kest_id")), Qt::AscendingOrder);
    if (!KestsTable->select()) {
        return failed(KestsTable->lastError().text());
    }
    ModulesTable = new QSqlQueryModel;
    QString error;
    if (!FollowKest(CurrentKestId, &error)) {
        return failed(error);
    }
    PatternsTable = new QSqlQueryModel;
    PatternsTable->setQuery(
        QStringLiteral("SELECT pattern_nr, pattern_text FROM patterns ORDER BY pattern_nr"), db);
    if (PatternsTable->lastError().isValid()) {
        return failed(PatternsTable->lastError().text());
    }
    LinetypesTable = new QSqlQueryModel;
    LinetypesTable->setQuery(
        QStringLiteral("SELECT linetypes_nr, linetypes_text FROM linetypes ORDER BY linetypes_nr"),
        db);
    if (LinetypesTable->lastError().isValid()) {
        return failed(LinetypesTable->lastError().text());
    }
    for (TModuleQuery* query :
         {&InvertersAQuery, &InvertersBQuery, &InvertersCQuery, &MonitorsQuery}) {
        if (!query->Open(&error) || !query->SetKest(CurrentKestId, &error)) {
            return failed(error);
        }
    }

    if (!PrepareStatements(&error)) {
        return failed(error);
    }
    QSqlQuery application(db);
    if (!application.exec(QStringLiteral("SELECT Language FROM application LIMIT 1"))) {
        return failed(application.lastError().text());
    }
    return true;
}

bool TUserData::PrepareStatements(QString* error) {
    const QSqlDatabase db = Database();
    auto fail = [error](const QString& text) {
        *error = Reason(text);
        return false;
    };
    // Forward only: the lookups read their rows once, and the driver need not cache them.
    auto prepare = [&db](std::unique_ptr<QSqlQuery>& query, const QString& text) {
        query = std::make_unique<QSqlQuery>(db);
        query->setForwardOnly(true);
        return query->prepare(text);
    };
    if (!prepare(KestLookup,
                 "SELECT kest_name, kest_ip, kest_port, kest_username, kest_password, "
                 "kest_online, kest_id FROM kests WHERE kest_id = ? LIMIT 2")) {
        return fail(KestLookup->lastError().text());
    }
    if (!prepare(ModuleLookup, "SELECT * FROM modules WHERE module_id = ? LIMIT 2")) {
        return fail(ModuleLookup->lastError().text());
    }
    if (!prepare(KestModuleLookup,
                 "SELECT * FROM modules WHERE module_kest = ? AND module_type = ? LIMIT 2")) {
        return fail(KestModuleLookup->lastError().text());
    }
    // The same lookup for SaveYield, which needs the key only: every column read costs the
    // driver a description of it on every run, and a download runs it for every sample.
    if (!prepare(SampleModuleLookup,
                 "SELECT module_id FROM modules WHERE module_kest = ? AND module_type = ? "
                 "LIMIT 2")) {
        return fail(SampleModuleLookup->lastError().text());
    }
    if (!prepare(SampleUpsert, SampleUpsertSql(Store.Engine))) {
        return fail(SampleUpsert->lastError().text());
    }
    return true;
}

void TUserData::DropStatements() {
    SampleModules.clear();
    Reach.Close();
    SampleUpsert.reset();
    SampleModuleLookup.reset();
    KestModuleLookup.reset();
    ModuleLookup.reset();
    KestLookup.reset();
}

bool TUserData::NoteLost(const QString& error) {
    if (Lost) {
        return true;
    }
    // The driver knows its connection has gone once a statement met the closed socket; a
    // statement the server refused leaves it open.
    if (!Store.IsPostgreSQL() || !QSqlDatabase::contains(Connection) || Database().isOpen()) {
        return false;
    }
    Lost = true;
    LostWhy = Reason(error).simplified();
    DebugLine("The user database is lost: " + LostWhy);
    if (OnStoreLost) {
        OnStoreLost(LostWhy);
    }
    return true;
}

bool TUserData::CheckConnection(const QString& error) {
    return !NoteLost(error);
}

bool TUserData::Reconnect(QString* error) {
    if (!Opened) {
        *error = QStringLiteral("The user database is not open.");
        return false;
    }
    if (!Lost) {
        return true;
    }
    // The old prepared statements name statements of the old session: they go first, while
    // their driver still has a connection object to send their end to. The box's modules are
    // read by one of them too.
    DropStatements();
    if (ModulesTable != nullptr) {
        ModulesTable->clear();
    }
    QSqlDatabase db = Database();
    db.close();
    bool ready = db.open();
    QString why = ready ? QString() : Reason(db.lastError().text()).simplified();
    ready = ready && ApplySessionSettings(&why) && PrepareStatements(&why);
    if (!ready) {
        db.close();
        *error = why;
        LostWhy = why;
        return false;
    }
    Lost = false;
    LostWhy.clear();
    LookupFailing = false;
    Reach.Open(db);
    // The lists read again what is stored: another program may have changed it meanwhile. A
    // box list with edits not yet posted keeps them, to be posted now.
    if (KestsTable != nullptr && !KestsTable->isDirty() && !KestsTable->select()) {
        DebugLine("Reconnect: the box list not read again: " + KestsTable->lastError().text());
    }
    PatternsTable->setQuery(
        QStringLiteral("SELECT pattern_nr, pattern_text FROM patterns ORDER BY pattern_nr"), db);
    LinetypesTable->setQuery(
        QStringLiteral("SELECT linetypes_nr, linetypes_text FROM linetypes ORDER BY linetypes_nr"),
        db);
    QString followed;
    if (!FollowKest(CurrentKestId, &followed)) {
        DebugLine("Reconnect: the box's modules not read again: " + followed);
    }
    if (OnReconnected) {
        OnReconnected();
    }
    return true;
}

void TUserData::CloseDatabase() {
    Opened = false;
    Lost = false;
    LostWhy.clear();
    DropStatements();
    for (TModuleQuery* query :
         {&MonitorsQuery, &InvertersCQuery, &InvertersBQuery, &InvertersAQuery}) {
        query->Close();
    }
    delete LinetypesTable;
    LinetypesTable = nullptr;
    delete PatternsTable;
    PatternsTable = nullptr;
    delete ModulesTable;
    ModulesTable = nullptr;
    delete KestsTable;
    KestsTable = nullptr;
    if (QSqlDatabase::contains(Connection)) {
        {
            QSqlDatabase db = Database();
            db.close();
        }
        QSqlDatabase::removeDatabase(Connection);
    }
}

int TUserData::GetLanguage() {
    if (!Opened) {
        return 0;
    }
    QSqlQuery query(Database());
    if (!query.exec(
            QStringLiteral("SELECT Language FROM application ORDER BY ApplicationId LIMIT 1"))) {
        NoteLookup(Reason(query.lastError().text()));
        return 0;
    }
    NoteLookup(QString());
    return query.next() ? query.value(0).toInt() : 0;
}

void TUserData::SetLanguage(uint8_t language) {
    if (!Opened) {
        return;
    }
    QSqlQuery query(Database());
    if (!query.prepare("UPDATE application SET Language = ? WHERE ApplicationId = "
                       "(SELECT ApplicationId FROM application ORDER BY ApplicationId LIMIT 1)")) {
        ShowDatabaseError(query.lastError().text());
        return;
    }
    query.addBindValue(int(language));
    if (!query.exec()) {
        ShowDatabaseError(query.lastError().text());
    }
}

bool TUserData::PostPendingEdits() {
    if (!Opened) {
        return true;
    }
    bool stored = PostKestEdits();
    for (TModuleQuery* query :
         {&InvertersAQuery, &InvertersBQuery, &InvertersCQuery, &MonitorsQuery}) {
        stored = PostModuleEdits(*query) && stored;
    }
    return stored;
}

bool TUserData::PostKestEdits() {
    if (!KestsTable->isDirty() || KestsTable->submitAll()) {
        return true;
    }
    // The list shows what is stored again: an edit kept only in the list would look stored, and
    // the next reading of the list would drop it without a word.
    const QString text = KestsTable->lastError().text();
    KestsTable->revertAll();
    ShowDatabaseError(text);
    return false;
}

bool TUserData::PostModuleEdits(TModuleQuery& query) {
    if (!Opened || !query.Editing()) {
        return true;
    }
    QString error;
    if (query.Post(&error)) {
        return true;
    }
    // As for the box list: the row is read again as stored.
    QString reread;
    if (!query.Cancel(&reread)) {
        DebugLine("PostModuleEdits: module not read again: " + reread);
    }
    ShowDatabaseError(error);
    return false;
}

int32_t TUserData::KestsTableAfterInsert() {
    if (!Opened) {
        return -1;
    }
    // The box list is read again below, which would drop edits not yet posted.
    PostKestEdits();
    QSqlDatabase db = Database();
    // On SQLite a savepoint rather than a transaction of its own, so that the box and its
    // modules are stored together or not at all, also inside a transaction the caller holds.
    // PostgreSQL takes a savepoint only inside a transaction.
    const bool postgres = Store.IsPostgreSQL();
    QSqlQuery step(db);
    auto undo = [&step, postgres] {
        if (postgres) {
            step.exec(QStringLiteral("ROLLBACK"));
            return;
        }
        step.exec(QStringLiteral("ROLLBACK TO new_kest"));
        step.exec(QStringLiteral("RELEASE new_kest"));
    };
    auto fail = [&](const QSqlQuery& query) {
        const QString text = query.lastError().text();
        undo();
        ShowDatabaseError(text);
        return -1;
    };
    if (!step.exec(postgres ? QStringLiteral("BEGIN") : QStringLiteral("SAVEPOINT new_kest"))) {
        ShowDatabaseError(step.lastError().text());
        return -1;
    }
    // The new row's id comes back from the insert itself, on either engine.
    auto insertedId = [](QSqlQuery& query) {
        const QVariant id = query.next() ? query.value(0) : QVariant();
        query.finish();
        return id;
    };
    QSqlQuery kest(db);
    if (!kest.prepare("INSERT INTO kests (kest_name, kest_ip, kest_port, kest_online) VALUES (?, "
                      "?, ?, ?) RETURNING kest_id")) {
        return fail(kest);
    }
    kest.addBindValue(QStringLiteral("?"));
    kest.addBindValue(QStringLiteral("192.168.0.32"));
    kest.addBindValue(7777);
    kest.addBindValue(1);
    if (!kest.exec()) {
        return fail(kest);
    }
    // Box and module ids are 32-bit everywhere else in the program. A file whose ids have run
    // past that range (rows added by another tool) must not hand out an id that reads back as
    // another box's: deleting the new box would then delete that one.
    auto tooLarge = [&](const QVariant& newId) {
        bool ok = false;
        const qint64 value = newId.toLongLong(&ok);
        if (ok && value >= 0 && value <= std::numeric_limits<int32_t>::max()) {
            return false;
        }
        undo();
        ShowDatabaseError("The users database in " + DatabasePath +
                          " has no box or module number left for a new box.");
        return true;
    };
    const QVariant kestId = insertedId(kest);
    if (tooLarge(kestId)) {
        return -1;
    }
    const int32_t id = kestId.toInt();
    const int color = int(QRandomGenerator::global()->bounded(int(ModuleColours.size())));
    struct Defaults {
        int32_t type, pattern, lineType;
    };
    QSqlQuery module(db);
    if (!module.prepare(
            "INSERT INTO modules (module_kest, module_type, module_color, module_pattern, "
            "module_linetype) VALUES (?, ?, ?, ?, ?) RETURNING module_id")) {
        return fail(module);
    }
    for (const Defaults& d : {Defaults{Module_Type_Total, 6, 0}, Defaults{Module_Type_A, 2, 1},
                              Defaults{Module_Type_B, 3, 3}, Defaults{Module_Type_C, 5, 4}}) {
        module.addBindValue(id);
        module.addBindValue(d.type);
        module.addBindValue(color);
        module.addBindValue(d.pattern);
        module.addBindValue(d.lineType);
        if (!module.exec()) {
            return fail(module);
        }
        if (tooLarge(insertedId(module))) {
            return -1;
        }
    }
    if (!step.exec(postgres ? QStringLiteral("COMMIT") : QStringLiteral("RELEASE new_kest"))) {
        return fail(step);
    }
    SampleModules.clear();
    // The box is stored; a list that cannot be read again only fails to show it yet.
    if (!KestsTable->select()) {
        ShowDatabaseError(KestsTable->lastError().text());
    }
    SetCurrentKest(id);
    View.UpdateViewState();
    return id;
}

bool TUserData::DeleteKest(int32_t kestId) {
    if (!Opened) {
        return false;
    }
    // Edits of the other boxes would be lost when the list is read again.
    PostKestEdits();
    QSqlQuery query(Database());
    if (!query.prepare(QStringLiteral("DELETE FROM kests WHERE kest_id = ?"))) {
        ShowDatabaseError(query.lastError().text());
        return false;
    }
    query.addBindValue(kestId);
    if (!query.exec()) {
        ShowDatabaseError(query.lastError().text());
        return false;
    }
    const bool deleted = query.numRowsAffected() > 0;
    SampleModules.clear();
    if (!KestsTable->select()) {
        ShowDatabaseError(KestsTable->lastError().text());
    }
    if (CurrentKestId == kestId) {
        SetCurrentKest(-1);
    }
    KestsTableAfterDelete();
    return deleted;
}

void TUserData::KestsTableAfterDelete() {
    View.UpdateViewState();
}

void TUserData::SetCurrentKest(int32_t kestId) {
    QString error;
    if (!FollowKest(kestId, &error)) {
        ShowDatabaseError(error);
    }
}

bool TUserData::FollowKest(int32_t kestId, QString* error) {
    CurrentKestId = kestId;
    bool read = true;
    if (ModulesTable != nullptr) {
        QSqlQuery detail(Database());
        if (detail.prepare(QStringLiteral("SELECT * FROM modules WHERE module_kest = ? "
                                          "ORDER BY module_kest, module_type, module_id"))) {
            detail.addBindValue(kestId);
            detail.exec();
            ModulesTable->setQuery(std::move(detail));
            if (ModulesTable->lastError().isValid()) {
                *error = ModulesTable->lastError().text();
                read = false;
            }
        } else {
            *error = detail.lastError().text();
            ModulesTable->clear();
            read = false;
        }
    }
    for (TModuleQuery* query :
         {&InvertersAQuery, &InvertersBQuery, &InvertersCQuery, &MonitorsQuery}) {
        QString text;
        if (!query->SetKest(kestId, &text) && read) {
            *error = text;
            read = false;
        }
    }
    return read;
}

TSaveResult TUserData::SaveYield(TCANMessages* sender) {
    int32_t moduleId = 0;
    const TSaveResult result =
        StoreYield(sender->KestId(), sender->SampleModule, sender->SampleResolution,
                   sender->SampleTime, sender->SampleValue, &moduleId);
    const bool hasValue = sender->SampleValue != No_Value;
    // A sample the database refused stays missing, and the next download asks for it again.
    if (result != TSaveResult::Failed && moduleId == 0 && !hasValue && !sender->SampleOpen) {
        FindSampleModule(sender->KestId(), sender->SampleModule, &moduleId);
    }
    if (result != TSaveResult::Failed && moduleId != 0) {
        Reach.Note(moduleId, sender->SampleResolution & 0x7F, sender->SampleTime, hasValue,
                   sender->SampleOpen);
    }
    return result;
}

TSaveResult TUserData::SaveYield(int32_t kestId, uint8_t module, uint8_t resolution,
                                 const QDateTime& time, int32_t value) {
    int32_t moduleId = 0;
    return StoreYield(kestId, module, resolution, time, value, &moduleId);
}

TSaveResult TUserData::StoreYield(int32_t kestId, uint8_t module, uint8_t resolution,
                                  const QDateTime& time, int32_t value, int32_t* moduleId) {
    const int32_t multiplier = (resolution & 0x80) != 0 ? 4 : 1;
    const int32_t code = resolution & 0x7F;
    LastSaveError.clear();
    if (value == No_Value) {
        return TSaveResult::Unchanged;
    }
    if (!FindSampleModule(kestId, module, moduleId)) {
        *moduleId = 0;
        DebugLine(LastSaveError.isEmpty() ? QStringLiteral("Module unknown")
                                          : "SaveYield: module not read: " + LastSaveError);
        return TSaveResult::Failed;
    }
    if (!time.isValid()) {
        DebugLine(QStringLiteral("SaveYield: Add failed"));
        return TSaveResult::Failed;
    }
    for (int attempt = 0;; ++attempt) {
        SampleUpsert->addBindValue(*moduleId);
        SampleUpsert->addBindValue(SampleTimestamp(time));
        SampleUpsert->addBindValue(code);
        SampleUpsert->addBindValue(qint64(value) * multiplier);
        if (SampleUpsert->exec()) {
            const bool written = SampleUpsert->numRowsAffected() > 0;
            SampleUpsert->finish();
            return written ? TSaveResult::Written : TSaveResult::Unchanged;
        }
        LastSaveError = SampleUpsert->lastError().text();
        SampleUpsert->finish();
        if (NoteLost(LastSaveError)) {
            break;
        }
        // A module id remembered from before another program changed the box list: the box's
        // module is looked up once more.
        const auto remembered = SampleModules.find({kestId, module});
        if (attempt > 0 || remembered == SampleModules.end()) {
            break;
        }
        SampleModules.erase(remembered);
        const QString failure = LastSaveError;
        if (!FindSampleModule(kestId, module, moduleId)) {
            *moduleId = 0;
            LastSaveError = failure;
            break;
        }
    }
    DebugLine("SaveYield: Add failed: " + LastSaveError);
    return TSaveResult::Failed;
}

bool TUserData::FindSampleModule(int32_t kestId, int32_t moduleType, int32_t* moduleId) {
    if (!Opened) {
        return false;
    }
    if (Lost) {
        LastSaveError = LostWhy;
        return false;
    }
    if (const auto known = SampleModules.find({kestId, moduleType}); known != SampleModules.end()) {
        *moduleId = known->second;
        LastSaveError.clear();
        return true;
    }
    SampleModuleLookup->addBindValue(kestId);
    SampleModuleLookup->addBindValue(moduleType);
    // A download looks this up for every sample: a failure is told with the samples not stored,
    // not in a dialog of its own.
    QString error;
    const bool found = ExactlyOne(*SampleModuleLookup, &error, [moduleId](const QSqlQuery& q) {
        *moduleId = q.value(0).toInt();
    });
    LastSaveError = error;
    if (found) {
        SampleModules[{kestId, moduleType}] = *moduleId;
    } else if (!error.isEmpty()) {
        NoteLost(error);
    }
    return found;
}

bool TUserData::FindKest(int32_t kestId, TKestRow* row) {
    if (!Opened || Lost) {
        return false;
    }
    KestLookup->addBindValue(kestId);
    QString error;
    const bool found = ExactlyOne(*KestLookup, &error, [row](const QSqlQuery& q) {
        row->Name = q.value(0).toString();
        row->Ip = q.value(1).toString();
        row->Port = q.value(2).toInt();
        row->UserName = q.value(3).toString();
        row->Password = q.value(4).toString();
        row->Online = q.value(5).toInt() != 0;
        row->Id = q.value(6).toInt();
    });
    NoteLookup(error);
    return found;
}

bool TUserData::FindModule(int32_t moduleId, TModuleRow* row) {
    if (!Opened || Lost) {
        return false;
    }
    ModuleLookup->addBindValue(moduleId);
    QString error;
    const bool found =
        ExactlyOne(*ModuleLookup, &error, [row](const QSqlQuery& q) { *row = ReadModule(q); });
    NoteLookup(error);
    return found;
}

bool TUserData::FindKestModule(int32_t kestId, int32_t moduleType, TModuleRow* row) {
    if (!Opened || Lost) {
        return false;
    }
    KestModuleLookup->addBindValue(kestId);
    KestModuleLookup->addBindValue(moduleType);
    QString error;
    const bool found =
        ExactlyOne(*KestModuleLookup, &error, [row](const QSqlQuery& q) { *row = ReadModule(q); });
    NoteLookup(error);
    return found;
}

std::vector<TModuleRow> TUserData::AllModules() {
    std::vector<TModuleRow> rows;
    if (!Opened || Lost) {
        return rows;
    }
    QSqlQuery query(Database());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM modules ORDER BY module_id"))) {
        NoteLookup(Reason(query.lastError().text()));
        return rows;
    }
    NoteLookup(QString());
    while (query.next()) {
        rows.push_back(ReadModule(query));
    }
    return rows;
}

bool TUserData::SetModuleChecked(int32_t moduleId, bool forW, bool checked) {
    if (!Opened) {
        return false;
    }
    QSqlQuery query(Database());
    if (!query.prepare(
            forW ? QStringLiteral("UPDATE modules SET module_ischecked_w = ? WHERE module_id = ?")
                 : QStringLiteral(
                       "UPDATE modules SET module_ischecked_kwh = ? WHERE module_id = ?"))) {
        ShowDatabaseError(query.lastError().text());
        return false;
    }
    query.addBindValue(checked ? 1 : 0);
    query.addBindValue(moduleId);
    if (!query.exec()) {
        ShowDatabaseError(query.lastError().text());
        return false;
    }
    return query.numRowsAffected() > 0;
}
