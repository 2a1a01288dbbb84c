#pragma once
// The measurement library's store over one SQLite database file: opens (and
// once recreates) the file, creates and migrates tables from column lists,
// builds the statements its callers need, reads rows back as dictionaries and
// runs exclusive transactions. Every failure is an error of the measurement
// domain: 1 bad argument, 2 wrong state, 3 reported by SQLite. Not
// thread-safe: one serial queue (the owner's) uses a store at a time.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/util/ZVUSQLite.h"

// An ordered column list: (name, type text), or ("PRIMARY KEY", "(a, b)").
using APMColumnInfo = std::vector<std::pair<std::string, std::string>>;

class APMSqliteStore {
  public:
    // Answers YES to keep a row and go on; NO ends the reading at once.
    using RecordFilter = std::function<bool(size_t acceptedSoFar, const Dictionary& row)>;

    // nullptr (with the error) when the file cannot be opened. A file SQLite
    // calls corrupt or not a database is set aside (see setAsideDamagedDatabase)
    // and made anew: the store is then returned with the error saying so. Any
    // other failure (busy after the timeout, a full disk) leaves the file alone.
    static std::unique_ptr<APMSqliteStore> initWithDatabasePath(
        const std::string& path, NSError* error = nullptr,
        int busyTimeoutMilliseconds = ZVUSQLiteDatabase::kDefaultBusyTimeoutMilliseconds);
    ~APMSqliteStore();
    APMSqliteStore(const APMSqliteStore&) = delete;
    APMSqliteStore& operator=(const APMSqliteStore&) = delete;

    // Closes for good and removes the file; YES when it is gone.
    bool closeAndDeleteDatabase();
    void closeDatabase();
    // Closes, logs the damage (a monitored line) and keeps the file as
    // `damagedCopyPath()`, replacing an older copy; YES when the path is free.
    bool setAsideDamagedDatabase(const std::string& reason);
    std::string damagedCopyPath() const { return databasePath_ + ".damaged"; }
    // Whether the latest failure was SQLite finding the file corrupt or not a
    // database, or a table of unusable shape: the only failures that justify
    // giving the file up.
    bool lastFailureIsDamage() const;
    bool isOpen() const { return db_.isOpen(); }
    const std::string& databasePath() const { return databasePath_; }

    bool ensureTable(const std::string& table, const APMColumnInfo& elementary,
                     const APMColumnInfo& addOn, NSError* error = nullptr);
    // As above, then rewrites the table when a column's type is to change.
    bool ensureTable(const std::string& table, const APMColumnInfo& elementary,
                     const APMColumnInfo& addOn, const std::map<std::string, std::string>& modify,
                     NSError* error = nullptr);
    bool ensureSchemaOfTable(const std::string& table, const APMColumnInfo& elementary,
                             const APMColumnInfo& addOn, NSError* error = nullptr);
    bool ensureTable(const std::string& table, const std::string& createSQL,
                     const std::vector<std::string>& requiredColumns,
                     const std::map<std::string, std::string>& addOnColumns,
                     NSError* error = nullptr);
    std::optional<bool> validateTable(const std::string& table,
                                      const std::vector<std::string>& requiredColumns,
                                      const std::map<std::string, std::string>& addOnColumns,
                                      NSError* error = nullptr);

    bool dropTable(const std::string& table, NSError* error = nullptr);
    bool renameTable(const std::string& from, const std::string& to, NSError* error = nullptr);
    // Copies the columns both tables have, by name.
    bool copyContentsFromTable(const std::string& source, const std::string& destination,
                               NSError* error = nullptr);
    std::optional<bool> tableExists(const std::string& table, NSError* error = nullptr);
    std::optional<int64_t> rowCount(const std::string& table, NSError* error = nullptr);
    std::optional<int64_t> rowCount(const std::string& table, const std::string& column,
                                    const std::optional<Value>& value, NSError* error = nullptr);
    std::optional<std::vector<std::string>> columnsForTable(const std::string& table,
                                                            NSError* error = nullptr);
    std::optional<std::map<std::string, std::string>> columnInfoForTable(const std::string& table,
                                                                         NSError* error = nullptr);

    bool upsertRecord(const Dictionary& record, const std::string& table, NSError* error = nullptr);
    bool updateRecord(const Dictionary& record, const std::string& table, const std::string& column,
                      const std::optional<Value>& value, NSError* error = nullptr);
    bool updateAllRecords(const std::string& table, const std::string& column,
                          const std::optional<Value>& value, NSError* error = nullptr);
    bool increaseColumn(const std::string& column, int64_t amount, const std::string& table,
                        const std::string& condition, const Array& parameters,
                        NSError* error = nullptr);
    bool deleteRecord(const std::string& table, const std::string& column,
                      const std::optional<Value>& value, NSError* error = nullptr);
    // The number of rows deleted.
    std::optional<int64_t> deleteRecords(const std::string& table, const std::string& condition,
                                         const Array& parameters, NSError* error = nullptr);
    bool deleteAllRecords(const std::string& table, NSError* error = nullptr);

    std::optional<std::vector<Dictionary>> recordsForQuery(const std::string& query,
                                                           const Array& parameters,
                                                           NSError* error = nullptr);
    std::optional<std::vector<Dictionary>> recordsForQuery(const std::string& query,
                                                           const Array& parameters, NSError* error,
                                                           const RecordFilter& filter);
    // The first column of the first row; nullopt without an error for SQL NULL.
    std::optional<Value> numberForQuery(const std::string& query, const Array& parameters,
                                        NSError* error = nullptr);

    // BEGIN EXCLUSIVE; the block's NO (or an exception) rolls back.
    bool performTransaction(NSError* error, const std::function<bool()>& block);

    bool beginTransaction();
    bool endTransaction();
    bool rollbackTransaction();
    bool executeSQL(const std::string& sql, NSError* error = nullptr);

    // Control surface for tests: how many statements the cache holds.
    size_t cachedStatementCount() const { return statementCache_.size(); }

  private:
    using StatementCache = std::map<std::string, std::unique_ptr<ZVUSQLiteStatement>>;
    // Parameters bound in place, without copying their values.
    using ValueRefs = std::vector<const Value*>;

    // A statement in use: borrowed from the cache or owned by the caller.
    // A borrowed one keeps its cache entry, valid while the cache has not
    // been cleared since (the generation tells).
    struct StatementRef {
        ZVUSQLiteStatement* statement = nullptr;
        std::unique_ptr<ZVUSQLiteStatement> owned;
        std::optional<StatementCache::iterator> cached;
        uint64_t generation = 0;
        explicit operator bool() const { return statement != nullptr; }
    };

    APMSqliteStore(std::string path, int busyTimeoutMilliseconds)
        : databasePath_(std::move(path)), busyTimeoutMilliseconds_(busyTimeoutMilliseconds) {}

    enum class Validation { Valid, Damaged, Failed };
    Validation openAndValidateDatabase(NSError* error);
    Validation validateDatabase(NSError* error);
    StatementRef statementForQuery(const std::string& query, const Array& parameters,
                                   NSError* error);
    StatementRef statementForQuery(const std::string& query, const ValueRefs& parameters,
                                   NSError* error);
    void cleanUpStatement(StatementRef& ref);
    std::unique_ptr<ZVUSQLiteStatement> prepareSQL(const std::string& sql, NSError* error);
    bool executeSQLStatement(std::unique_ptr<ZVUSQLiteStatement> statement, NSError* error);
    bool bindValues(const Array& values, ZVUSQLiteStatement* statement, NSError* error);
    bool bindValues(const ValueRefs& values, ZVUSQLiteStatement* statement, NSError* error);
    std::optional<Value> valueAtColumn(int column, const ZVUSQLiteStatement& statement) const;
    std::optional<std::string> lastErrorMessage() const;
    std::string monitorContextForDatabaseOperation(const std::string& operation) const;
    void setDatabaseError(NSError* error, const std::string& operation) const;
    bool stepOnce(const std::string& query, const Array& parameters, const std::string& operation,
                  NSError* error);
    bool stepOnce(const std::string& query, const ValueRefs& parameters,
                  const std::string& operation, NSError* error);

    ZVUSQLiteDatabase db_;
    StatementCache statementCache_;
    uint64_t cacheGeneration_ = 0;
    std::string databasePath_;
    int busyTimeoutMilliseconds_;
    // integrity_check answered something other than "ok", or a table has a
    // shape no version of this store can use.
    bool damaged_ = false;
};
