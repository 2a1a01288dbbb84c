#pragma once
// A small RAII wrapper over SQLite: a database handle, prepared statements,
// exec, transactions and error text. The rest of the code never sees raw
// sqlite3 handles. Not thread-safe: a ZVUSQLiteDatabase and its statements
// belong to one thread or serial queue at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class ZVUSQLiteDatabase;

// A prepared statement. Bind indices are 1-based, column indices 0-based.
// Step answers Row while a row is ready, Done when finished, Error on failure
// (the database's lastError() then says why).
class ZVUSQLiteStatement {
  public:
    enum class StepResult { Row, Done, Error };

    ZVUSQLiteStatement() = default;
    ZVUSQLiteStatement(ZVUSQLiteStatement&& other) noexcept;
    ZVUSQLiteStatement& operator=(ZVUSQLiteStatement&& other) noexcept;
    ZVUSQLiteStatement(const ZVUSQLiteStatement&) = delete;
    ZVUSQLiteStatement& operator=(const ZVUSQLiteStatement&) = delete;
    ~ZVUSQLiteStatement();

    bool isValid() const { return stmt_ != nullptr; }
    explicit operator bool() const { return isValid(); }

    // Binding: false on failure.
    bool bindNull(int index);
    bool bindInt64(int index, int64_t value);
    bool bindDouble(int index, double value);
    bool bindText(int index, std::string_view value);
    bool bindBlob(int index, const void* bytes, size_t length);
    bool bindBlob(int index, const std::vector<uint8_t>& bytes);
    // Binds without a copy: the bytes must outlive the statement's next step.
    bool bindBlobNoCopy(int index, const void* bytes, size_t length);
    // Binds the value or NULL.
    bool bindOptionalInt64(int index, const std::optional<int64_t>& value);
    bool bindOptionalText(int index, const std::optional<std::string>& value);
    int parameterIndex(const char* name) const;
    int parameterCount() const;

    StepResult step();
    // Runs the statement to its end, discarding rows; false on error.
    bool execute();
    // Ready to step again with the same bindings (or new ones).
    void reset();
    void clearBindings();

    int columnCount() const;
    std::string columnName(int index) const;
    // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL.
    int columnType(int index) const;
    bool columnIsNull(int index) const;
    int64_t columnInt64(int index) const;
    double columnDouble(int index) const;
    std::string columnText(int index) const;
    std::vector<uint8_t> columnBlob(int index) const;

    const std::string& sql() const { return sql_; }

  private:
    friend class ZVUSQLiteDatabase;
    ZVUSQLiteStatement(sqlite3_stmt* stmt, std::string sql) : stmt_(stmt), sql_(std::move(sql)) {}
    sqlite3_stmt* stmt_ = nullptr;
    std::string sql_;
};

class ZVUSQLiteDatabase {
  public:
    enum class OpenMode { ReadWriteCreate, ReadWrite, ReadOnly };
    enum class TransactionKind { Deferred, Immediate, Exclusive };

    ZVUSQLiteDatabase() = default;
    ZVUSQLiteDatabase(ZVUSQLiteDatabase&& other) noexcept;
    ZVUSQLiteDatabase& operator=(ZVUSQLiteDatabase&& other) noexcept;
    ZVUSQLiteDatabase(const ZVUSQLiteDatabase&) = delete;
    ZVUSQLiteDatabase& operator=(const ZVUSQLiteDatabase&) = delete;
    ~ZVUSQLiteDatabase();

    // How long a statement waits and retries while another connection
    // holds a lock, before it fails as busy.
    static constexpr int kDefaultBusyTimeoutMilliseconds = 5000;

    // Opens (or creates) the file; ":memory:" for a private in-memory
    // database. False on failure, with the reason in lastError().
    bool open(const std::string& path, OpenMode mode = OpenMode::ReadWriteCreate,
              int busyTimeoutMilliseconds = kDefaultBusyTimeoutMilliseconds);
    void close();
    bool isOpen() const { return db_ != nullptr; }
    const std::string& path() const { return path_; }

    // Runs one or more statements without results; false on failure.
    bool exec(const std::string& sql);
    // An invalid statement on failure (see lastError()).
    ZVUSQLiteStatement prepare(const std::string& sql);
    // As above; `tail` receives the text left after the first statement.
    ZVUSQLiteStatement prepare(const std::string& sql, std::string* tail);

    bool beginTransaction(TransactionKind kind = TransactionKind::Deferred);
    bool commit();
    bool rollback();
    bool inTransaction() const;

    int64_t lastInsertRowId() const;
    // Rows changed by the most recent INSERT, UPDATE or DELETE.
    int changes() const;
    // The SQLite result code and message of the latest failure.
    int lastErrorCode() const;
    int lastExtendedErrorCode() const;
    std::string lastError() const;

    // Milliseconds to retry while another connection holds a lock.
    bool setBusyTimeout(int milliseconds);
    // PRAGMA user_version.
    std::optional<int64_t> userVersion();
    bool setUserVersion(int64_t version);
    // Whether a table (or view) of that name exists.
    bool tableExists(const std::string& table);
    // The column names of a table in declaration order; empty when absent.
    std::vector<std::string> columnNames(const std::string& table);
    // The first column of the first row of a query, if any.
    std::optional<int64_t> queryInt64(const std::string& sql);

    sqlite3* handle() const { return db_; }

  private:
    sqlite3* db_ = nullptr;
    std::string path_;
    // Set when an operation fails before reaching SQLite (e.g. not open).
    std::string localError_;
};

// Rolls back unless commit() was called; begin() says whether it started.
class ZVUSQLiteTransaction {
  public:
    explicit ZVUSQLiteTransaction(
        ZVUSQLiteDatabase& db,
        ZVUSQLiteDatabase::TransactionKind kind = ZVUSQLiteDatabase::TransactionKind::Deferred);
    ZVUSQLiteTransaction(const ZVUSQLiteTransaction&) = delete;
    ZVUSQLiteTransaction& operator=(const ZVUSQLiteTransaction&) = delete;
    ~ZVUSQLiteTransaction();

    bool isActive() const { return active_; }
    bool commit();
    void rollback();

  private:
    ZVUSQLiteDatabase& db_;
    bool active_ = false;
};

// Quotes an identifier for use in SQL ("name" with inner quotes doubled).
std::string ZVUSQLiteQuoteIdentifier(std::string_view name);
// Escapes %, _ and the escape character itself for a LIKE pattern used with
// ESCAPE '\'.
std::string ZVUSQLiteEscapeLike(std::string_view text);
