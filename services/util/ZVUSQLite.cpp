#include "services/util/ZVUSQLite.h"

#include <sqlite3.h>

#include <utility>

ZVUSQLiteStatement::ZVUSQLiteStatement(ZVUSQLiteStatement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)), sql_(std::move(other.sql_)) {}

ZVUSQLiteStatement& ZVUSQLiteStatement::operator=(ZVUSQLiteStatement&& other) noexcept {
    if (this != &other) {
        if (stmt_) sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
        sql_ = std::move(other.sql_);
    }
    return *this;
}

ZVUSQLiteStatement::~ZVUSQLiteStatement() {
    if (stmt_) sqlite3_finalize(stmt_);
}

bool ZVUSQLiteStatement::bindNull(int index) {
    return stmt_ && sqlite3_bind_null(stmt_, index) == SQLITE_OK;
}

bool ZVUSQLiteStatement::bindInt64(int index, int64_t value) {
    return stmt_ && sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
}

bool ZVUSQLiteStatement::bindDouble(int index, double value) {
    return stmt_ && sqlite3_bind_double(stmt_, index, value) == SQLITE_OK;
}

bool ZVUSQLiteStatement::bindText(int index, std::string_view value) {
    return stmt_ && sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT,
                                        SQLITE_UTF8) == SQLITE_OK;
}

bool ZVUSQLiteStatement::bindBlob(int index, const void* bytes, size_t length) {
    // A zero-length blob is still a blob, not NULL.
    static const char empty = 0;
    return stmt_ && sqlite3_bind_blob64(stmt_, index, length ? bytes : &empty, length,
                                        SQLITE_TRANSIENT) == SQLITE_OK;
}

bool ZVUSQLiteStatement::bindBlobNoCopy(int index, const void* bytes, size_t length) {
    static const char empty = 0;
    return stmt_ && sqlite3_bind_blob64(stmt_, index, length ? bytes : &empty, length,
                                        SQLITE_STATIC) == SQLITE_OK;
}

bool ZVUSQLiteStatement::bindBlob(int index, const std::vector<uint8_t>& bytes) {
    return bindBlob(index, bytes.data(), bytes.size());
}

bool ZVUSQLiteStatement::bindOptionalInt64(int index, const std::optional<int64_t>& value) {
    return value ? bindInt64(index, *value) : bindNull(index);
}

bool ZVUSQLiteStatement::bindOptionalText(int index, const std::optional<std::string>& value) {
    return value ? bindText(index, *value) : bindNull(index);
}

int ZVUSQLiteStatement::parameterIndex(const char* name) const {
    return stmt_ ? sqlite3_bind_parameter_index(stmt_, name) : 0;
}

int ZVUSQLiteStatement::parameterCount() const {
    return stmt_ ? sqlite3_bind_parameter_count(stmt_) : 0;
}

ZVUSQLiteStatement::StepResult ZVUSQLiteStatement::step() {
    if (!stmt_) return StepResult::Error;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return StepResult::Row;
    if (rc == SQLITE_DONE) return StepResult::Done;
    return StepResult::Error;
}

bool ZVUSQLiteStatement::execute() {
    StepResult r;
    while ((r = step()) == StepResult::Row) {
    }
    return r == StepResult::Done;
}

void ZVUSQLiteStatement::reset() {
    if (stmt_) sqlite3_reset(stmt_);
}

void ZVUSQLiteStatement::clearBindings() {
    if (stmt_) sqlite3_clear_bindings(stmt_);
}

int ZVUSQLiteStatement::columnCount() const {
    return stmt_ ? sqlite3_column_count(stmt_) : 0;
}

std::string ZVUSQLiteStatement::columnName(int index) const {
    const char* name = stmt_ ? sqlite3_column_name(stmt_, index) : nullptr;
    return name ? name : "";
}

int ZVUSQLiteStatement::columnType(int index) const {
    return stmt_ ? sqlite3_column_type(stmt_, index) : SQLITE_NULL;
}

bool ZVUSQLiteStatement::columnIsNull(int index) const {
    return columnType(index) == SQLITE_NULL;
}

int64_t ZVUSQLiteStatement::columnInt64(int index) const {
    return stmt_ ? sqlite3_column_int64(stmt_, index) : 0;
}

double ZVUSQLiteStatement::columnDouble(int index) const {
    return stmt_ ? sqlite3_column_double(stmt_, index) : 0.0;
}

std::string ZVUSQLiteStatement::columnText(int index) const {
    if (!stmt_) return {};
    const unsigned char* text = sqlite3_column_text(stmt_, index);
    int length = sqlite3_column_bytes(stmt_, index);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length))
                : std::string();
}

std::vector<uint8_t> ZVUSQLiteStatement::columnBlob(int index) const {
    if (!stmt_) return {};
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, index));
    int length = sqlite3_column_bytes(stmt_, index);
    return bytes ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>();
}

ZVUSQLiteDatabase::ZVUSQLiteDatabase(ZVUSQLiteDatabase&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      path_(std::move(other.path_)),
      localError_(std::move(other.localError_)) {}

ZVUSQLiteDatabase& ZVUSQLiteDatabase::operator=(ZVUSQLiteDatabase&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
        path_ = std::move(other.path_);
        localError_ = std::move(other.localError_);
    }
    return *this;
}

ZVUSQLiteDatabase::~ZVUSQLiteDatabase() {
    close();
}

bool ZVUSQLiteDatabase::open(const std::string& path, OpenMode mode, int busyTimeoutMilliseconds) {
    close();
    int flags = SQLITE_OPEN_FULLMUTEX;
    switch (mode) {
        case OpenMode::ReadWriteCreate:
            flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
            break;
        case OpenMode::ReadWrite:
            flags |= SQLITE_OPEN_READWRITE;
            break;
        case OpenMode::ReadOnly:
            flags |= SQLITE_OPEN_READONLY;
            break;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        localError_ = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        if (db) sqlite3_close_v2(db);
        return false;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, busyTimeoutMilliseconds);
    db_ = db;
    path_ = path;
    localError_.clear();
    return true;
}

void ZVUSQLiteDatabase::close() {
    if (db_) {
        // close_v2 defers the close until outstanding statements finalize.
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool ZVUSQLiteDatabase::exec(const std::string& sql) {
    if (!db_) {
        localError_ = "database is not open";
        return false;
    }
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (message) sqlite3_free(message);
    if (rc == SQLITE_OK) localError_.clear();
    return rc == SQLITE_OK;
}

ZVUSQLiteStatement ZVUSQLiteDatabase::prepare(const std::string& sql) {
    return prepare(sql, nullptr);
}

ZVUSQLiteStatement ZVUSQLiteDatabase::prepare(const std::string& sql, std::string* tail) {
    if (tail) tail->clear();
    if (!db_) {
        localError_ = "database is not open";
        return {};
    }
    sqlite3_stmt* stmt = nullptr;
    const char* rest = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size() + 1), &stmt, &rest);
    if (tail && rest) *tail = std::string(rest);
    if (rc != SQLITE_OK) {
        if (stmt) sqlite3_finalize(stmt);
        return {};
    }
    localError_.clear();
    return ZVUSQLiteStatement(stmt, sql);
}

bool ZVUSQLiteDatabase::beginTransaction(TransactionKind kind) {
    switch (kind) {
        case TransactionKind::Deferred:
            return exec("BEGIN DEFERRED TRANSACTION");
        case TransactionKind::Immediate:
            return exec("BEGIN IMMEDIATE TRANSACTION");
        case TransactionKind::Exclusive:
            return exec("BEGIN EXCLUSIVE TRANSACTION");
    }
    return false;
}

bool ZVUSQLiteDatabase::commit() {
    return exec("COMMIT TRANSACTION");
}

bool ZVUSQLiteDatabase::rollback() {
    return exec("ROLLBACK TRANSACTION");
}

bool ZVUSQLiteDatabase::inTransaction() const {
    return db_ && sqlite3_get_autocommit(db_) == 0;
}

int64_t ZVUSQLiteDatabase::lastInsertRowId() const {
    return db_ ? sqlite3_last_insert_rowid(db_) : 0;
}

int ZVUSQLiteDatabase::changes() const {
    return db_ ? sqlite3_changes(db_) : 0;
}

int ZVUSQLiteDatabase::lastErrorCode() const {
    if (!db_) return localError_.empty() ? SQLITE_OK : SQLITE_MISUSE;
    return sqlite3_errcode(db_);
}

int ZVUSQLiteDatabase::lastExtendedErrorCode() const {
    if (!db_) return lastErrorCode();
    return sqlite3_extended_errcode(db_);
}

std::string ZVUSQLiteDatabase::lastError() const {
    if (!localError_.empty() || !db_) return localError_;
    return sqlite3_errmsg(db_);
}

bool ZVUSQLiteDatabase::setBusyTimeout(int milliseconds) {
    return db_ && sqlite3_busy_timeout(db_, milliseconds) == SQLITE_OK;
}

std::optional<int64_t> ZVUSQLiteDatabase::userVersion() {
    return queryInt64("PRAGMA user_version");
}

bool ZVUSQLiteDatabase::setUserVersion(int64_t version) {
    return exec("PRAGMA user_version = " + std::to_string(version));
}

bool ZVUSQLiteDatabase::tableExists(const std::string& table) {
    auto stmt = prepare("SELECT 1 FROM sqlite_master WHERE type IN ('table','view') AND name = ?");
    if (!stmt || !stmt.bindText(1, table)) return false;
    return stmt.step() == ZVUSQLiteStatement::StepResult::Row;
}

std::vector<std::string> ZVUSQLiteDatabase::columnNames(const std::string& table) {
    std::vector<std::string> names;
    auto stmt = prepare("PRAGMA table_info(" + ZVUSQLiteQuoteIdentifier(table) + ")");
    while (stmt && stmt.step() == ZVUSQLiteStatement::StepResult::Row) {
        names.push_back(stmt.columnText(1));
    }
    return names;
}

std::optional<int64_t> ZVUSQLiteDatabase::queryInt64(const std::string& sql) {
    auto stmt = prepare(sql);
    if (!stmt || stmt.step() != ZVUSQLiteStatement::StepResult::Row || stmt.columnIsNull(0)) {
        return std::nullopt;
    }
    return stmt.columnInt64(0);
}

ZVUSQLiteTransaction::ZVUSQLiteTransaction(ZVUSQLiteDatabase& db,
                                           ZVUSQLiteDatabase::TransactionKind kind)
    : db_(db), active_(db.beginTransaction(kind)) {}

ZVUSQLiteTransaction::~ZVUSQLiteTransaction() {
    rollback();
}

bool ZVUSQLiteTransaction::commit() {
    if (!active_) return false;
    if (!db_.commit()) {
        // A failed COMMIT may leave the transaction open; end it.
        if (db_.inTransaction()) db_.rollback();
        active_ = false;
        return false;
    }
    active_ = false;
    return true;
}

void ZVUSQLiteTransaction::rollback() {
    if (!active_) return;
    if (db_.inTransaction()) db_.rollback();
    active_ = false;
}

std::string ZVUSQLiteQuoteIdentifier(std::string_view name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string ZVUSQLiteEscapeLike(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}
