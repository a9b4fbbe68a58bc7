// The user database: the boxes, their four modules with chart settings and selection marks, the
// chosen language and every downloaded yield sample, in KestUser.sqlite or in the PostgreSQL
// database the store names. TUserData owns the connection and every data set on it; it lives as
// long as the main window and runs on the main thread only. The program never creates the
// database: the install step does.
#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "CanObjects.h"
#include "DataFolder.h"
#include "HistoryReach.h"
#include "ModuleQuery.h"
#include "Store.h"

class QSqlQueryModel;
class QSqlTableModel;
class TCANMessages;
class TMainView;

// What the user is told when one of the databases is missing from the data folder.
QString MissingFileMessage(const QString& path);
// A SQLite connection by that name to the file at path, not yet opened; opening it fails for a
// missing file instead of creating an empty database.
QSqlDatabase AddExistingDatabase(const QString& connection, const QString& path);

// The colours module_color indexes, as 0xAARRGGBB (QRgb): the data module needs no GUI library.
extern const std::array<uint32_t, 22> ModuleColours;
// The word of a history sample the box has no value for; such a sample is not stored.
constexpr int32_t No_Value = 0xFFFF;
// How long a write waits for a lock another program holds on the user database.
constexpr int Busy_Timeout_Ms = 10000;

// Module types: the box total and the inverters, which are also the inverters' bus addresses.
constexpr int32_t Module_Type_Total = Module_Total;
constexpr int32_t Module_Type_A = Addr_Inverter_A;
constexpr int32_t Module_Type_B = Addr_Inverter_B;
constexpr int32_t Module_Type_C = Addr_Inverter_C;

// What SaveYield did: added or changed a row; found the same value stored, or had no value to
// store; or could not store it (a module the box list does not have, an impossible time, a
// database error).
enum class TSaveResult { Written, Unchanged, Failed };

struct TKestRow {
    int32_t Id = 0;
    QString Name;
    QString Ip;
    int32_t Port = 0;
    QString UserName;
    QString Password;
    bool Online = false;
};

class TUserData {
public:
    // Opens the store ChooseStore picks for DataFolder(), or tells the user why it cannot.
    explicit TUserData(TMainView& view);
    // The same for a SQLite file at path (the tests and benchmarks use it).
    TUserData(TMainView& view, const QString& path);
    TUserData(TMainView& view, const TStore& store);
    ~TUserData();
    TUserData(const TUserData&) = delete;
    TUserData& operator=(const TUserData&) = delete;

    TStore Store;
    // What messages call the database: the file, or the URI without its password.
    QString DatabasePath;

    void OpenDatabase();
    void CloseDatabase();
    // True once every data set is open.
    bool IsOpen() const { return Opened; }

    // A PostgreSQL store whose connection has gone (the server restarted, the network failed,
    // the backend was ended): every statement fails until Reconnect succeeds. The data sets stay,
    // with the rows they last read; lookups match nothing and SaveYield stores nothing, without a
    // dialog each. A SQLite file is never lost.
    bool StoreLost() const { return Lost; }
    // The database's words when the loss was noticed.
    QString LostReason() const { return LostWhy; }
    // Notes a loss that SQL run on ConnectionName() by others has met: false when the store is
    // lost, now or before.
    bool CheckConnection(const QString& error = QString());
    // Opens the connection again, runs the session's settings and prepares every statement
    // afresh, the history reach's too; the lists read their rows again. False with the
    // database's words while the server cannot be reached; the store stays lost.
    bool Reconnect(QString* error);
    // Told once when the loss is noticed, with the database's words (possibly from inside a
    // channel's step: nothing that runs an event loop). Without it, the error dialog says it
    // once, when a lookup or an edit met the loss.
    std::function<void(const QString& reason)> OnStoreLost;
    // Called after every successful Reconnect. What the old connection held is gone with it:
    // session advisory locks, temporary tables and settings of its own are taken again here.
    std::function<void()> OnReconnected;

    int GetLanguage();
    void SetLanguage(uint8_t language);

    // Posts the edits of the box list and the four module queries. An edit the database refuses
    // is shown in the error dialog with the database's words and dropped, so that the editor
    // shows what is stored again; false then.
    bool PostPendingEdits();
    // Posts the edits of one module query in the same way.
    bool PostModuleEdits(TModuleQuery& query);

    // A new box: its row with the defaults, posted at once so that it has its id, then its four
    // module rows with one random colour. Returns the box id, or -1 after a database error.
    int32_t KestsTableAfterInsert();
    // Deletes a box; its modules and their samples go with it. Then KestsTableAfterDelete.
    bool DeleteKest(int32_t kestId);
    void KestsTableAfterDelete();
    // The box the editing panel shows: ModulesTable and the four module queries follow it. When
    // its modules cannot be read, the error dialog says why and the queries have no row.
    void SetCurrentKest(int32_t kestId);
    int32_t CurrentKest() const { return CurrentKestId; }

    // Stores one decoded yield value of the sending channel (bound to every channel's OnSample),
    // and notes in Reach what the box said of its slot.
    TSaveResult SaveYield(TCANMessages* sender);
    // The same from the sample's parts.
    TSaveResult SaveYield(int32_t kestId, uint8_t module, uint8_t resolution, const QDateTime& time,
                          int32_t value);
    // The database's words for the last sample SaveYield could not store (a full disk, a lock
    // held too long); empty when the last one was stored or was not a database error.
    QString LastSaveError;

    // Filtered lookups: true only when exactly one row matches. A lookup that cannot run matches
    // nothing; the error dialog says why, once until a lookup runs again, since the live view
    // looks its modules up on every refresh.
    bool FindKest(int32_t kestId, TKestRow* row);
    bool FindModule(int32_t moduleId, TModuleRow* row);
    bool FindKestModule(int32_t kestId, int32_t moduleType, TModuleRow* row);
    // Every module row in table order.
    std::vector<TModuleRow> AllModules();
    // Sets module_ischecked_w or module_ischecked_kwh of one module; false when none has the id.
    bool SetModuleChecked(int32_t moduleId, bool forW, bool checked);

    // The connection's name, for the history view and the export, which run their own SQL.
    QString ConnectionName() const { return Connection; }

    // Data sets of the main window (null while closed).
    QSqlTableModel* KestsTable = nullptr;
    QSqlQueryModel* ModulesTable = nullptr;
    QSqlQueryModel* PatternsTable = nullptr;
    QSqlQueryModel* LinetypesTable = nullptr;
    TModuleQuery InvertersAQuery;
    TModuleQuery InvertersBQuery;
    TModuleQuery InvertersCQuery;
    TModuleQuery MonitorsQuery;
    THistoryReach Reach;

private:
    TUserData(TMainView& view, const std::pair<TStore, QString>& chosen);
    void Create();
    bool CheckStructure();
    void AddMissingIndexes();
    void SwapOldDiagonalLabels();
    bool OpenDataSets();
    // The settings every session of the store starts with; false with the database's words.
    bool ApplySessionSettings(QString* error);
    // The lookups and the sample statement on the open connection.
    bool PrepareStatements(QString* error);
    void DropStatements();
    // True when a failed statement has found the PostgreSQL connection gone; tells the loss the
    // first time.
    bool NoteLost(const QString& error);
    QSqlDatabase Database() const;
    void ShowDatabaseError(const QString& text);
    // The result of a lookup: empty when it ran, else the database's words, shown as above.
    void NoteLookup(const QString& error);
    // Posts the box list's edits; a refused edit is shown and dropped.
    bool PostKestEdits();
    // SetCurrentKest, with the database's words in error when the modules could not be read.
    bool FollowKest(int32_t kestId, QString* error);
    // SaveYield, with the module's id when it was found (0 otherwise).
    TSaveResult StoreYield(int32_t kestId, uint8_t module, uint8_t resolution,
                           const QDateTime& time, int32_t value, int32_t* moduleId);
    // FindKestModule for SaveYield: the module id only.
    bool FindSampleModule(int32_t kestId, int32_t moduleType, int32_t* moduleId);

    // The module ids SaveYield has looked up, by box and module type. A download stores every
    // sample of a few modules, and on a database server each lookup would cost a round trip as
    // long as the store itself. An id whose module has gone makes the store fail on its
    // reference, and is looked up again.
    std::map<std::pair<int32_t, int32_t>, int32_t> SampleModules;

    TMainView& View;
    QString Connection;
    QString StoreError;  // why the store named could not be chosen
    bool Opened = false;
    bool Lost = false;
    QString LostWhy;
    int32_t CurrentKestId = -1;
    bool LookupFailing = false;
    std::unique_ptr<QSqlQuery> KestLookup;
    std::unique_ptr<QSqlQuery> ModuleLookup;
    std::unique_ptr<QSqlQuery> KestModuleLookup;
    std::unique_ptr<QSqlQuery> SampleModuleLookup;
    std::unique_ptr<QSqlQuery> SampleUpsert;
};
