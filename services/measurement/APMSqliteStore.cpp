#include "services/measurement/APMSqliteStore.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <set>

#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMMeasurement.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrimaryKey = "PRIMARY KEY";

void fail(NSError* error, long long code, const std::string& description) {
    if (error) *error = apm_errorWithCode(code, description, "");
}

// fail, answering false for the callers that report failure with it.
bool failed(NSError* error, long long code, const std::string& description) {
    fail(error, code, description);
    return false;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool isStorable(const Value& value) {
    switch (value.type()) {
        case Value::Type::Null:
        case Value::Type::Bool:
        case Value::Type::Int:
        case Value::Type::UInt:
        case Value::Type::Double:
        case Value::Type::String:
        case Value::Type::Data:
            return true;
        default:
            return false;
    }
}

// A file the owner may not write to is what this platform has of an
// immutable file; make it writable again before opening or removing it.
void clearImmutable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR)) {
        ::chmod(path.c_str(), st.st_mode | S_IWUSR);
    }
}

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

}  // namespace

std::unique_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     NSError* error,
                                                                     int busyTimeoutMilliseconds) {
    if (path.empty()) {
        fail(error, 1, "Received empty database path on init");
        return nullptr;
    }
    std::unique_ptr<APMSqliteStore> store(new APMSqliteStore(path, busyTimeoutMilliseconds));
    NSError openError;
    Validation validation = store->openAndValidateDatabase(&openError);
    if (validation == Validation::Valid) {
        if (error) *error = NSError();
        return store;
    }
    if (error) *error = openError;
    if (validation == Validation::Failed) return nullptr;
    if (!store->setAsideDamagedDatabase(openError.localizedDescription())) return nullptr;
    if (store->openAndValidateDatabase(error) != Validation::Valid) return nullptr;
    if (error) {
        *error = apm_errorWithCode(
            3, "Damaged database set aside and made anew: " + openError.localizedDescription(), "");
    }
    return store;
}

APMSqliteStore::~APMSqliteStore() {
    closeDatabase();
}

APMSqliteStore::Validation APMSqliteStore::openAndValidateDatabase(NSError* error) {
    damaged_ = false;
    std::error_code ec;
    if (fs::exists(databasePath_, ec)) {
        clearImmutable(databasePath_);
    } else {
        fs::create_directories(fs::path(databasePath_).parent_path(), ec);
        if (ec) {
            if (error) {
                *error = NSError("NSPOSIXErrorDomain", ec.value(),
                                 {{NSError::NSLocalizedDescriptionKey, ec.message()}});
            }
            return Validation::Failed;
        }
    }
    if (!db_.open(databasePath_, ZVUSQLiteDatabase::OpenMode::ReadWriteCreate,
                  busyTimeoutMilliseconds_)) {
        if (error) {
            *error = apm_errorWithCode(
                3,
                "Database operation \"initialize sqlite handle\" failed with error message \"" +
                    db_.lastError() + "\"",
                monitorContextForDatabaseOperation("initialize sqlite handle"));
        }
        closeDatabase();
        return Validation::Failed;
    }
    NSError backupError;
    if (!APMSetExcludedFromBackup(databasePath_, &backupError)) {
        monitor().logWithLevel(4, 34017, "Failed to exclude database file from backup",
                               Value(backupError.localizedDescription()));
    }
    Validation validation = validateDatabase(error);
    if (validation != Validation::Valid) closeDatabase();
    return validation;
}

APMSqliteStore::Validation APMSqliteStore::validateDatabase(NSError* error) {
    if (!db_.isOpen()) {
        fail(error, 2, "Validate database failed. Database not open.");
        return Validation::Failed;
    }
    auto statement = db_.prepare("PRAGMA integrity_check");
    if (statement && statement.step() == ZVUSQLiteStatement::StepResult::Row) {
        if (statement.columnCount() == 1 && statement.columnText(0) == "ok")
            return Validation::Valid;
        damaged_ = true;
        fail(error, 3, "Database integrity check failed: " + statement.columnText(0));
        return Validation::Damaged;
    }
    setDatabaseError(error, "validate database");
    return lastFailureIsDamage() ? Validation::Damaged : Validation::Failed;
}

bool APMSqliteStore::lastFailureIsDamage() const {
    if (damaged_) return true;
    if (!db_.isOpen()) return false;
    const int code = db_.lastErrorCode() & 0xff;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

bool APMSqliteStore::setAsideDamagedDatabase(const std::string& reason) {
    closeDatabase();
    monitor().logWithLevel(1, 34023, "Database file is damaged; keeping it aside and starting anew",
                           Value(reason));
    std::error_code ec;
    if (!fs::exists(databasePath_, ec)) return true;
    clearImmutable(databasePath_);
    fs::rename(databasePath_, damagedCopyPath(), ec);
    if (ec) {
        monitor().logWithLevel(1, 34024, "Failed to set the damaged database aside. Error",
                               Value(ec.message()));
        return false;
    }
    // The journal belongs to the damaged file: replayed into a new one it
    // would damage that too.
    fs::remove(databasePath_ + "-journal", ec);
    return true;
}

bool APMSqliteStore::closeAndDeleteDatabase() {
    closeDatabase();
    std::error_code ec;
    if (!fs::exists(databasePath_, ec)) return true;
    clearImmutable(databasePath_);
    NSError error;
    if (!APMRemoveFileAtPath(databasePath_, &error)) {
        monitor().logWithLevel(1, 34019, "Failed to delete database. Error",
                               Value(error.localizedDescription()));
        return false;
    }
    // The journal belongs to the file just removed.
    fs::remove(databasePath_ + "-journal", ec);
    return true;
}

void APMSqliteStore::closeDatabase() {
    if (!db_.isOpen()) return;
    statementCache_.clear();
    ++cacheGeneration_;
    db_.close();
}

std::optional<std::string> APMSqliteStore::lastErrorMessage() const {
    if (!db_.isOpen()) {
        monitor().logWithLevel(1, 34022, "Failed to get last error message. Database not open");
        return std::nullopt;
    }
    return db_.lastError();
}

std::string APMSqliteStore::monitorContextForDatabaseOperation(const std::string& operation) const {
    std::string context = operation.empty() ? "Unknown operation" : operation;
    context += "," + std::to_string(db_.lastErrorCode());
    context += ::access(databasePath_.c_str(), W_OK) == 0 ? ",A," : ",NA,";
    struct statvfs vfs {};
    std::string directory = fs::path(databasePath_).parent_path().string();
    if (::statvfs(directory.empty() ? "." : directory.c_str(), &vfs) == 0) {
        unsigned long long freeBytes = static_cast<unsigned long long>(vfs.f_bavail) *
                                       static_cast<unsigned long long>(vfs.f_frsize);
        if (freeBytes >= 1048576ULL) {
            context += std::to_string(static_cast<long long>(
                std::floor(std::log10(static_cast<double>(freeBytes / 1048576ULL)))));
        } else {
            context += "-1";
        }
    }
    return context;
}

void APMSqliteStore::setDatabaseError(NSError* error, const std::string& operation) const {
    if (!error) return;
    std::string description;
    if (auto message = lastErrorMessage()) {
        description = "Database operation \"" + operation + "\" failed with sqlite code " +
                      std::to_string(db_.lastErrorCode()) + " and error message \"" + *message +
                      "\"";
    }
    *error = apm_errorWithCode(3, description, monitorContextForDatabaseOperation(operation));
}

std::unique_ptr<ZVUSQLiteStatement> APMSqliteStore::prepareSQL(const std::string& sql,
                                                               NSError* error) {
    if (sql.empty()) {
        fail(error, 1, "Received empty SQL string to prepare");
        return nullptr;
    }
    if (!db_.isOpen()) {
        fail(error, 2, "Prepare SQL failed. Database not open.");
        return nullptr;
    }
    std::string tail;
    auto statement = db_.prepare(sql, &tail);
    if (!statement) {
        setDatabaseError(error, "prepare statement");
        return nullptr;
    }
    if (!tail.empty()) {
        fail(error, 1, "Query contained more than one SQL statement.");
        return nullptr;
    }
    return std::make_unique<ZVUSQLiteStatement>(std::move(statement));
}

bool APMSqliteStore::executeSQL(const std::string& sql, NSError* error) {
    if (sql.empty()) return failed(error, 1, "Received empty SQL string to execute");
    if (!db_.isOpen()) return failed(error, 2, "Execute SQL failed. Database not open.");
    auto statement = prepareSQL(sql, error);
    if (!statement) return false;
    return executeSQLStatement(std::move(statement), error);
}

bool APMSqliteStore::executeSQLStatement(std::unique_ptr<ZVUSQLiteStatement> statement,
                                         NSError* error) {
    if (!statement || !*statement)
        return failed(error, 1, "Execute SQL statement failed. Statement is NULL.");
    if (!db_.isOpen()) return failed(error, 2, "Execute SQL statement failed. Database not open.");
    bool done = statement->step() == ZVUSQLiteStatement::StepResult::Done;
    if (!done) setDatabaseError(error, "execute statement");
    return done;
}

namespace {

std::vector<const Value*> refsOf(const Array& values) {
    std::vector<const Value*> refs;
    refs.reserve(values.size());
    for (const auto& value : values) refs.push_back(&value);
    return refs;
}

}  // namespace

bool APMSqliteStore::bindValues(const Array& values, ZVUSQLiteStatement* statement,
                                NSError* error) {
    return bindValues(refsOf(values), statement, error);
}

bool APMSqliteStore::bindValues(const ValueRefs& values, ZVUSQLiteStatement* statement,
                                NSError* error) {
    if (!statement || !*statement) return failed(error, 1, "Failed to bind to NULL statement");
    statement->clearBindings();
    bool ok = true;
    for (size_t i = 0; i < values.size(); ++i) {
        const Value& value = *values[i];
        int index = static_cast<int>(i + 1);
        bool bound = false;
        switch (value.type()) {
            case Value::Type::Data:
                bound = statement->bindBlobNoCopy(index, value.asData()->data(),
                                                  value.asData()->size());
                break;
            case Value::Type::Double:
                bound = statement->bindDouble(index, *value.asDouble());
                break;
            case Value::Type::Bool:
                bound = statement->bindInt64(index, *value.asBool() ? 1 : 0);
                break;
            case Value::Type::Int:
                bound = statement->bindInt64(index, *value.asInt());
                break;
            case Value::Type::UInt:
                bound = statement->bindInt64(index, static_cast<int64_t>(*value.asUInt()));
                break;
            case Value::Type::String:
                bound = statement->bindText(index, *value.asString());
                break;
            case Value::Type::Null:
                bound = statement->bindNull(index);
                break;
            default:
                bound = false;
                break;
        }
        if (!bound) {
            setDatabaseError(error, "bind values");
            ok = false;
        }
    }
    return ok;
}

APMSqliteStore::StatementRef APMSqliteStore::statementForQuery(const std::string& query,
                                                               const Array& parameters,
                                                               NSError* error) {
    return statementForQuery(query, refsOf(parameters), error);
}

APMSqliteStore::StatementRef APMSqliteStore::statementForQuery(const std::string& query,
                                                               const ValueRefs& parameters,
                                                               NSError* error) {
    StatementRef ref;
    ref.generation = cacheGeneration_;
    auto cached = statementCache_.find(query);
    if (cached != statementCache_.end()) {
        ref.statement = cached->second.get();
        ref.cached = cached;
    } else {
        if (!db_.isOpen()) {
            fail(error, 2, "Statement for query failed. Database not open.");
            return {};
        }
        bool cacheable;
        if (query.find('?') != std::string::npos) {
            if (parameters.empty()) {
                fail(error, 1, "Received empty parameters");
                return {};
            }
            cacheable = true;
        } else {
            cacheable = lower(query).find("where") == std::string::npos;
        }
        auto statement = prepareSQL(query, error);
        if (!statement) return {};
        if (cacheable) {
            ref.statement = statement.get();
            ref.cached = statementCache_.insert_or_assign(query, std::move(statement)).first;
        } else {
            ref.owned = std::move(statement);
            ref.statement = ref.owned.get();
        }
    }
    if (!parameters.empty() && !bindValues(parameters, ref.statement, error)) {
        cleanUpStatement(ref);
        return {};
    }
    return ref;
}

void APMSqliteStore::cleanUpStatement(StatementRef& ref) {
    if (!ref.statement) return;
    if (ref.cached && ref.generation == cacheGeneration_) {
        if ((*ref.cached)->second.get() != ref.statement) {
            monitor().logWithLevel(5, 34016, "Statement is not the same one in the cache");
        }
        ref.statement->reset();
        ref.statement->clearBindings();
    }
    ref.owned.reset();
    ref.statement = nullptr;
}

std::optional<Value> APMSqliteStore::valueAtColumn(int column,
                                                   const ZVUSQLiteStatement& statement) const {
    switch (statement.columnType(column)) {
        case SQLITE_INTEGER:
            return Value(static_cast<long long>(statement.columnInt64(column)));
        case SQLITE_FLOAT:
            return Value(statement.columnDouble(column));
        case SQLITE_TEXT:
            return Value(statement.columnText(column));
        case SQLITE_BLOB: {
            Data bytes = statement.columnBlob(column);
            if (bytes.empty()) return std::nullopt;
            return Value(std::move(bytes));
        }
        case SQLITE_NULL:
            return Value();
        default:
            return std::nullopt;
    }
}

bool APMSqliteStore::beginTransaction() {
    return db_.exec("BEGIN EXCLUSIVE TRANSACTION");
}
bool APMSqliteStore::endTransaction() {
    return db_.exec("END TRANSACTION");
}
bool APMSqliteStore::rollbackTransaction() {
    return db_.exec("ROLLBACK");
}

bool APMSqliteStore::performTransaction(NSError* error, const std::function<bool()>& block) {
    if (!block) return failed(error, 1, "Received nil transaction block");
    if (!db_.isOpen()) return failed(error, 2, "Database not open");
    if (!beginTransaction()) return failed(error, 3, "Failed to begin transaction");
    bool result;
    try {
        result = block();
    } catch (...) {
        if (!rollbackTransaction()) {
            monitor().logWithLevel(1, 34009, "Failed to rollback transaction after exception");
        }
        throw;
    }
    if (!result) {
        fail(error, 3, "Transaction failed");
        if (!rollbackTransaction()) {
            monitor().logWithLevel(1, 34011, "Failed to rollback transaction");
        }
        return false;
    }
    if (!endTransaction()) return failed(error, 3, "Failed to end transaction");
    return true;
}

bool APMSqliteStore::ensureTable(const std::string& table, const APMColumnInfo& elementary,
                                 const APMColumnInfo& addOn, NSError* error) {
    if (table.empty()) return failed(error, 1, "Received empty table name for ensure table");
    if (elementary.empty())
        return failed(error, 1, "Received empty elementary column info for ensure table");
    std::string create = "CREATE TABLE IF NOT EXISTS " + table + " ( ";
    std::vector<std::string> required;
    for (const auto& [name, type] : elementary) {
        create += name + " " + type + ", ";
        if (name != kPrimaryKey) required.push_back(name);
    }
    create.replace(create.size() - 2, 2, ");");
    std::map<std::string, std::string> addOnColumns;
    for (const auto& [name, type] : addOn) {
        if (name.empty()) continue;
        addOnColumns[name] = "ALTER TABLE " + table + " ADD COLUMN " + name + " " + type;
    }
    return ensureTable(table, create, required, addOnColumns, error);
}

bool APMSqliteStore::ensureTable(const std::string& table, const std::string& createSQL,
                                 const std::vector<std::string>& requiredColumns,
                                 const std::map<std::string, std::string>& addOnColumns,
                                 NSError* error) {
    if (table.empty()) return failed(error, 1, "Received empty table name for ensure table");
    if (requiredColumns.empty())
        return failed(error, 1, "Received no table columns for ensure table");
    if (createSQL.empty())
        return failed(error, 1, "Received empty create statement for ensure table");
    if (!db_.isOpen()) return failed(error, 2, "Ensure table failed. Database not open.");
    auto exists = tableExists(table, error);
    if (!exists) return false;
    if (!*exists && !executeSQL(createSQL, error)) return false;
    auto valid = validateTable(table, requiredColumns, addOnColumns, error);
    return valid && *valid;
}

std::optional<bool> APMSqliteStore::validateTable(
    const std::string& table, const std::vector<std::string>& requiredColumns,
    const std::map<std::string, std::string>& addOnColumns, NSError* error) {
    if (table.empty()) {
        fail(error, 1, "Received empty table name for validate table");
        return std::nullopt;
    }
    if (requiredColumns.empty()) {
        fail(error, 1, "Received no table columns for validate table");
        return std::nullopt;
    }
    if (!db_.isOpen()) {
        fail(error, 2, "Validate table failed. Database not open.");
        return std::nullopt;
    }
    auto existing = columnsForTable(table, error);
    if (!existing || existing->empty()) return std::nullopt;
    std::set<std::string> present(existing->begin(), existing->end());
    for (const auto& name : requiredColumns) {
        if (!present.count(name)) {
            damaged_ = true;
            fail(error, 2, "Table is missing required columns");
            return false;
        }
    }
    std::set<std::string> extra = present;
    for (const auto& name : requiredColumns) extra.erase(name);
    for (const auto& [name, sql] : addOnColumns) {
        if (extra.erase(name)) continue;
        if (!executeSQL(sql, error)) return false;
    }
    if (!extra.empty()) {
        auto statement = prepareSQL("PRAGMA table_info(" + table + ")", error);
        if (!statement) return false;
        while (statement->step() == ZVUSQLiteStatement::StepResult::Row) {
            if (extra.count(statement->columnText(1)) && statement->columnInt64(3) != 0) {
                damaged_ = true;
                fail(error, 2, "Table contains unknown non-optional columns");
                return false;
            }
        }
    }
    return true;
}

bool APMSqliteStore::ensureTable(const std::string& table, const APMColumnInfo& elementary,
                                 const APMColumnInfo& addOn,
                                 const std::map<std::string, std::string>& modify, NSError* error) {
    if (!ensureTable(table, elementary, addOn, error)) return false;
    if (modify.empty()) return true;
    auto rewrite = [&](const APMColumnInfo& list) {
        APMColumnInfo out;
        for (const auto& [name, type] : list) {
            if (name == kPrimaryKey) continue;
            auto it = modify.find(name);
            out.emplace_back(name, it == modify.end() ? type : it->second);
        }
        return out;
    };
    return ensureSchemaOfTable(table, rewrite(elementary), rewrite(addOn), error);
}

bool APMSqliteStore::ensureSchemaOfTable(const std::string& table, const APMColumnInfo& elementary,
                                         const APMColumnInfo& addOn, NSError* error) {
    if (table.empty()) return failed(error, 1, "Received empty table name for ensure table schema");
    if (elementary.empty())
        return failed(error, 1, "Received empty column info for ensure table schema");
    auto current = columnInfoForTable(table, nullptr);
    if (!current || current->empty())
        return failed(error, 2, "Table does not exist for ensure table schema");
    std::map<std::string, std::string> wanted;
    for (const auto& [name, type] : elementary) {
        if (name == kPrimaryKey || name.empty() || type.empty()) continue;
        wanted[name] = type.substr(0, type.find(' '));
    }
    for (const auto& [name, type] : addOn) {
        if (name.empty() || type.empty()) continue;
        wanted[name] = type;
    }
    if (*current == wanted) return true;

    NSError stepError;
    bool stepFailed = false;
    NSError transactionError;
    bool ok = performTransaction(&transactionError, [&] {
        const std::string old = table + "_old";
        stepFailed = !renameTable(table, old, &stepError) ||
                     !ensureTable(table, elementary, addOn, &stepError) ||
                     !copyContentsFromTable(old, table, &stepError) || !dropTable(old, &stepError);
        return !stepFailed;
    });
    if (!ok && error) *error = stepFailed ? stepError : transactionError;
    return ok;
}

bool APMSqliteStore::dropTable(const std::string& table, NSError* error) {
    if (table.empty()) return failed(error, 1, "Received empty table name for drop table");
    return executeSQL("DROP TABLE " + table, error);
}

bool APMSqliteStore::renameTable(const std::string& from, const std::string& to, NSError* error) {
    if (from.empty()) return failed(error, 1, "Received empty old name for rename table");
    if (to.empty()) return failed(error, 1, "Received empty new name for rename table");
    if (from == to) return failed(error, 1, "Received duplicate name for rename table");
    return executeSQL("ALTER TABLE " + from + " RENAME TO " + to, error);
}

bool APMSqliteStore::copyContentsFromTable(const std::string& source,
                                           const std::string& destination, NSError* error) {
    if (source.empty()) return failed(error, 1, "Received empty source name for copy table");
    if (destination.empty())
        return failed(error, 1, "Received empty destination name for copy table");
    if (source == destination) return failed(error, 1, "Received duplicate name for copy table");
    // By name, not by position: the source may hold a column the
    // destination lacks (a tolerated extra) or lack an add-on column.
    auto from = columnsForTable(source, error);
    auto to = columnsForTable(destination, error);
    if (!from || !to) return false;
    std::string columns;
    for (const auto& name : *to) {
        if (std::find(from->begin(), from->end(), name) == from->end()) continue;
        if (!columns.empty()) columns += ", ";
        columns += ZVUSQLiteQuoteIdentifier(name);
    }
    if (columns.empty()) return true;
    return executeSQL(
        "INSERT INTO " + destination + " (" + columns + ") SELECT " + columns + " FROM " + source,
        error);
}

std::optional<bool> APMSqliteStore::tableExists(const std::string& table, NSError* error) {
    if (table.empty()) {
        fail(error, 1, "Received empty table name for table exists");
        return std::nullopt;
    }
    if (!db_.isOpen()) {
        fail(error, 2, "Table exists failed. Database not open.");
        return std::nullopt;
    }
    auto statement =
        prepareSQL("SELECT name FROM sqlite_master WHERE type='table' AND name=?", error);
    if (!statement || !bindValues(Array{Value(table)}, statement.get(), error)) {
        return std::nullopt;
    }
    auto step = statement->step();
    if (step == ZVUSQLiteStatement::StepResult::Error) {
        setDatabaseError(error, "table exists");
        return std::nullopt;
    }
    return step == ZVUSQLiteStatement::StepResult::Row;
}

std::optional<int64_t> APMSqliteStore::rowCount(const std::string& table, NSError* error) {
    return rowCount(table, "", std::nullopt, error);
}

std::optional<int64_t> APMSqliteStore::rowCount(const std::string& table, const std::string& column,
                                                const std::optional<Value>& value, NSError* error) {
    if (table.empty()) {
        fail(error, 1, "Received empty table name for row count");
        return std::nullopt;
    }
    if (!db_.isOpen()) {
        fail(error, 2, "Row count failed. Database not open.");
        return std::nullopt;
    }
    std::string query = "SELECT count(1) FROM " + table;
    Array parameters;
    if (value && !column.empty()) {
        query += " WHERE " + column + "=?";
        parameters.push_back(*value);
    }
    auto number = numberForQuery(query, parameters, error);
    if (!number) return std::nullopt;
    return number->asInt();
}

std::optional<std::vector<std::string>> APMSqliteStore::columnsForTable(const std::string& table,
                                                                        NSError* error) {
    if (table.empty()) {
        fail(error, 1, "Received empty table name for get columns");
        return std::nullopt;
    }
    if (!db_.isOpen()) {
        fail(error, 2, "Get table columns failed. Database not open.");
        return std::nullopt;
    }
    auto statement = prepareSQL("PRAGMA table_info(" + table + ")", error);
    if (!statement) return std::nullopt;
    std::vector<std::string> names;
    auto step = statement->step();
    for (; step == ZVUSQLiteStatement::StepResult::Row; step = statement->step()) {
        names.push_back(statement->columnText(1));
    }
    if (step == ZVUSQLiteStatement::StepResult::Error) {
        setDatabaseError(error, "get table columns");
        return std::nullopt;
    }
    return names;
}

std::optional<std::map<std::string, std::string>> APMSqliteStore::columnInfoForTable(
    const std::string& table, NSError* error) {
    if (table.empty()) {
        fail(error, 1, "Received empty table name for column info");
        return std::nullopt;
    }
    if (!db_.isOpen()) {
        fail(error, 2, "Get table column info failed. Database not open.");
        return std::nullopt;
    }
    auto statement = prepareSQL("PRAGMA table_info(" + table + ")", error);
    if (!statement) return std::nullopt;
    std::map<std::string, std::string> info;
    while (statement->step() == ZVUSQLiteStatement::StepResult::Row) {
        info[statement->columnText(1)] = statement->columnText(2);
    }
    return info;
}

bool APMSqliteStore::upsertRecord(const Dictionary& record, const std::string& table,
                                  NSError* error) {
    if (record.empty()) return failed(error, 1, "Received empty record for upsert");
    if (table.empty()) return failed(error, 1, "Received empty table name for upsert");
    if (!db_.isOpen()) return failed(error, 2, "Upsert record failed. Database not open.");
    // The text varies only with the record's columns, so it is kept in the
    // statement cache: bulk inserts of raw events reuse one statement.
    std::string query = "INSERT OR REPLACE INTO " + table + " (";
    query.reserve(query.size() + 16 * record.size() + 16);
    ValueRefs values;
    values.reserve(record.size());
    for (const auto& [name, value] : record) {
        if (!isStorable(value)) {
            monitor().logWithLevel(4, 34020, "Record has value of unexpected type");
            return false;
        }
        if (!values.empty()) query += ", ";
        query += name;
        values.push_back(&value);
    }
    query += ") VALUES (";
    for (size_t i = 0; i < values.size(); ++i) query += i == 0 ? "?" : ", ?";
    query += ");";
    return stepOnce(query, values, "execute statement", error);
}

bool APMSqliteStore::updateRecord(const Dictionary& record, const std::string& table,
                                  const std::string& column, const std::optional<Value>& value,
                                  NSError* error) {
    if (record.empty()) return failed(error, 1, "Empty record for update");
    if (table.empty()) return failed(error, 1, "Empty table name for update");
    if (column.empty()) return failed(error, 1, "Empty column name for update");
    if (!value) return failed(error, 1, "Nil column value for update");
    if (!db_.isOpen()) return failed(error, 2, "Update record failed. Database not open.");
    std::string assignments;
    Array values;
    for (const auto& [name, v] : record) {
        if (!isStorable(v)) {
            monitor().logWithLevel(4, 34021, "Record has value of unexpected type (update)");
            fail(error, 1, "Failed to bind parameter of unexpected type to update statement");
            return false;
        }
        assignments += name + "=?,";
        values.push_back(v);
    }
    assignments.pop_back();
    values.push_back(*value);
    auto statement =
        prepareSQL("UPDATE " + table + " SET " + assignments + " WHERE " + column + "=?", error);
    if (!statement || !bindValues(values, statement.get(), error)) return false;
    return executeSQLStatement(std::move(statement), error);
}

bool APMSqliteStore::stepOnce(const std::string& query, const Array& parameters,
                              const std::string& operation, NSError* error) {
    return stepOnce(query, refsOf(parameters), operation, error);
}

bool APMSqliteStore::stepOnce(const std::string& query, const ValueRefs& parameters,
                              const std::string& operation, NSError* error) {
    auto ref = statementForQuery(query, parameters, error);
    if (!ref) return false;
    bool done = ref.statement->step() == ZVUSQLiteStatement::StepResult::Done;
    if (!done) setDatabaseError(error, operation);
    cleanUpStatement(ref);
    return done;
}

bool APMSqliteStore::updateAllRecords(const std::string& table, const std::string& column,
                                      const std::optional<Value>& value, NSError* error) {
    if (table.empty()) return failed(error, 1, "Empty table name for update");
    if (column.empty()) return failed(error, 1, "Empty column name for update");
    if (!value) return failed(error, 1, "Nil column value for update");
    if (!db_.isOpen()) return failed(error, 2, "Update record failed. Database not open.");
    return stepOnce("UPDATE " + table + " SET " + column + "=?", Array{*value},
                    "update all records value", error);
}

bool APMSqliteStore::increaseColumn(const std::string& column, int64_t amount,
                                    const std::string& table, const std::string& condition,
                                    const Array& parameters, NSError* error) {
    if (table.empty()) return failed(error, 1, "Empty table name for increase column");
    if (column.empty()) return failed(error, 1, "Empty column name for increase column");
    if (condition.empty()) return failed(error, 1, "Empty condition for increase column");
    if (!db_.isOpen()) return failed(error, 2, "Increase column failed. Database not open.");
    auto info = columnInfoForTable(table, error);
    if (!info) return false;
    auto it = info->find(column);
    if (it == info->end()) return failed(error, 1, "Invalid column or table name");
    if (upper(it->second) != "INTEGER") return failed(error, 1, "Column type is not integer.");
    return stepOnce("UPDATE " + table + " SET " + column + " = " + column + " + " +
                        std::to_string(amount) + " WHERE " + condition,
                    parameters, "increase records value", error);
}

bool APMSqliteStore::deleteRecord(const std::string& table, const std::string& column,
                                  const std::optional<Value>& value, NSError* error) {
    if (table.empty()) return failed(error, 1, "Received empty table name for delete record");
    if (column.empty()) return failed(error, 1, "Received empty column for delete record");
    if (!value) return failed(error, 1, "Received nil value for delete record");
    if (!db_.isOpen()) return failed(error, 2, "Delete record failed. Database not open.");
    auto statement = prepareSQL("DELETE FROM " + table + " WHERE " + column + "=?", error);
    if (!statement || !bindValues(Array{*value}, statement.get(), error)) return false;
    bool done = statement->step() == ZVUSQLiteStatement::StepResult::Done;
    if (!done) setDatabaseError(error, "delete record");
    return done;
}

std::optional<int64_t> APMSqliteStore::deleteRecords(const std::string& table,
                                                     const std::string& condition,
                                                     const Array& parameters, NSError* error) {
    if (table.empty()) {
        fail(error, 1, "Received empty table name for delete record");
        return std::nullopt;
    }
    if (condition.empty()) {
        fail(error, 1, "Received empty condition for delete record");
        return std::nullopt;
    }
    if (!db_.isOpen()) {
        fail(error, 2, "Delete records with condition failed. Database not open.");
        return std::nullopt;
    }
    if (!stepOnce("DELETE FROM " + table + " WHERE " + condition, parameters,
                  "delete records with condition", error)) {
        return std::nullopt;
    }
    return db_.changes();
}

bool APMSqliteStore::deleteAllRecords(const std::string& table, NSError* error) {
    if (table.empty()) return failed(error, 1, "Received empty table name for delete all records");
    if (!db_.isOpen()) return failed(error, 2, "Delete all records failed. Database not open.");
    return stepOnce("DELETE FROM " + table, Array{}, "delete all records", error);
}

std::optional<std::vector<Dictionary>> APMSqliteStore::recordsForQuery(const std::string& query,
                                                                       const Array& parameters,
                                                                       NSError* error) {
    return recordsForQuery(query, parameters, error,
                           [](size_t, const Dictionary&) { return true; });
}

std::optional<std::vector<Dictionary>> APMSqliteStore::recordsForQuery(const std::string& query,
                                                                       const Array& parameters,
                                                                       NSError* error,
                                                                       const RecordFilter& filter) {
    if (query.empty()) {
        fail(error, 1, "Received empty query for records for query");
        return std::nullopt;
    }
    if (!filter) {
        fail(error, 1, "Received empty filter for selecting records");
        return std::nullopt;
    }
    if (!db_.isOpen()) {
        fail(error, 2, "Query records failed. Database not open.");
        return std::nullopt;
    }
    if (lower(query.substr(0, 6)) != "select") {
        fail(error, 1, "Received invalid select query");
        return std::nullopt;
    }
    auto ref = statementForQuery(query, parameters, error);
    if (!ref) return std::nullopt;
    std::vector<Dictionary> rows;
    auto step = ref.statement->step();
    if (step == ZVUSQLiteStatement::StepResult::Done) {
        cleanUpStatement(ref);
        return rows;
    }
    while (step == ZVUSQLiteStatement::StepResult::Row) {
        Dictionary row;
        for (int i = 0; i < ref.statement->columnCount(); ++i) {
            std::string name = ref.statement->columnName(i);
            if (name.empty()) {
                monitor().logWithLevel(4, 34003, "Failed to get column name");
                continue;
            }
            auto value = valueAtColumn(i, *ref.statement);
            if (!value) {
                monitor().logWithLevel(4, 34004, "Value is nil for column", Value(name));
                continue;
            }
            row.set(name, std::move(*value));
        }
        if (!filter(rows.size(), row)) break;
        rows.push_back(std::move(row));
        step = ref.statement->step();
    }
    if (step == ZVUSQLiteStatement::StepResult::Error) {
        setDatabaseError(error, "query records");
        cleanUpStatement(ref);
        return std::nullopt;
    }
    if (rows.empty()) {
        monitor().logWithLevel(4, 34005, "Database contains records that were all filtered out");
    }
    cleanUpStatement(ref);
    return rows;
}

std::optional<Value> APMSqliteStore::numberForQuery(const std::string& query,
                                                    const Array& parameters, NSError* error) {
    if (query.empty()) {
        fail(error, 1, "Received empty query to get numeric result");
        return std::nullopt;
    }
    if (!db_.isOpen()) {
        fail(error, 2, "Query numeric result failed. Database not open.");
        return std::nullopt;
    }
    auto ref = statementForQuery(query, parameters, error);
    if (!ref) return std::nullopt;
    std::optional<Value> result;
    if (ref.statement->step() != ZVUSQLiteStatement::StepResult::Row) {
        setDatabaseError(error, "query numeric result");
    } else {
        auto value = valueAtColumn(0, *ref.statement);
        if (value && value->isNull()) {
            // NULL answers nothing, without an error.
        } else if (!value || !value->isNumber()) {
            fail(error, 1, "Found result that was not numeric");
        } else {
            result = std::move(value);
        }
    }
    cleanUpStatement(ref);
    return result;
}
