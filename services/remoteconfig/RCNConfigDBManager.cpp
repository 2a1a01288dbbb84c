#include "services/remoteconfig/RCNConfigDBManager.h"

#include <sys/xattr.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/bundle/Home.h"
#include "platform/foundation/JSON.h"
#include "services/remoteconfig/RCNLog.h"
#include "services/util/ZVUSQLite.h"

namespace {

constexpr const char* kDatabaseName = "RemoteConfig.sqlite3";
constexpr const char* kDefaultAppName = "__VUVEZU_DEFAULT";
// Marks a file the system's backups leave out.
constexpr const char* kExcludeFromBackupAttribute = "user.backup_exclude_item";

// In KiB: room for some 100,000 keys.
constexpr const char* kCacheSize = "PRAGMA cache_size = -16384";

const char* const kSchema[] = {
    "create TABLE IF NOT EXISTS main (_id INTEGER PRIMARY KEY, bundle_identifier TEXT, namespace "
    "TEXT, key TEXT, value BLOB)",
    "create TABLE IF NOT EXISTS main_active (_id INTEGER PRIMARY KEY, bundle_identifier TEXT, "
    "namespace TEXT, key TEXT, value BLOB)",
    "create TABLE IF NOT EXISTS main_default (_id INTEGER PRIMARY KEY, bundle_identifier TEXT, "
    "namespace TEXT, key TEXT, value BLOB)",
    "create TABLE IF NOT EXISTS fetch_metadata_v2 (_id INTEGER PRIMARY KEY, bundle_identifier "
    "TEXT, namespace TEXT, fetch_time INTEGER, digest_per_ns BLOB, device_context BLOB, "
    "app_context BLOB, success_fetch_time BLOB, failure_fetch_time BLOB, last_fetch_status "
    "INTEGER, last_fetch_error INTEGER, last_apply_time INTEGER, last_set_defaults_time INTEGER)",
    "create TABLE IF NOT EXISTS internal_metadata (_id INTEGER PRIMARY KEY, key TEXT, value BLOB)",
    "create TABLE IF NOT EXISTS experiment (_id INTEGER PRIMARY KEY, key TEXT, value BLOB)",
    "create TABLE IF NOT EXISTS personalization (_id INTEGER PRIMARY KEY, key INTEGER, value "
    "BLOB)",
};

const char* tableFor(RCNDBSource source) {
    switch (source) {
        case RCNDBSource::Default:
            return "main_default";
        case RCNDBSource::Active:
            return "main_active";
        case RCNDBSource::Fetched:
            break;
    }
    return "main";
}

Data bytesOf(const Value& value) {
    if (const Data* data = value.asData()) return *data;
    if (auto text = value.asString()) return Data(text->begin(), text->end());
    return {};
}

std::optional<Value> parseJSON(const Data& bytes) {
    return NSJSONSerialization::JSONObjectWithData(bytes);
}

bool ensureParentDirectory(const std::string& path, bool& isNew) {
    if (path.empty()) {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000018",
               "Failed to create subdirectory for an empty file path.");
        return false;
    }
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        isNew = true;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        if (ec) {
            RCNLog(ZVULoggerLevel::Error, "I-RCN000019",
                   "Failed to create subdirectory for database file: " + ec.message() + ".");
            return false;
        }
    }
    return true;
}

void setExcludedFromBackup(const std::string& path) {
    if (::setxattr(path.c_str(), kExcludeFromBackupAttribute, "1", 1, 0) != 0) {
        std::error_code ec(errno, std::generic_category());
        RCNLog(ZVULoggerLevel::Error, "I-RCN000017",
               "Error excluding " + std::filesystem::path(path).filename().string() +
                   " from backup " + ec.message() + ".");
    }
}

}  // namespace

namespace {
std::mutex sharedMutex;
std::shared_ptr<RCNConfigDBManager>& sharedSlot() {
    static auto* slot = new std::shared_ptr<RCNConfigDBManager>();
    return *slot;
}
}  // namespace

std::shared_ptr<RCNConfigDBManager> RCNConfigDBManager::sharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    auto& slot = sharedSlot();
    if (!slot) slot = managerWithPath(remoteConfigPathForDatabase());
    return slot;
}

void RCNConfigDBManager::resetSharedInstanceForTesting() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    if (sharedSlot()) sharedSlot()->waitForQueue();
    sharedSlot().reset();
}

std::string RCNConfigDBManager::remoteConfigPathForDatabase() {
    return (std::filesystem::path(sim::applicationSupportPath()) / "Zevera" / "RemoteConfig" /
            kDatabaseName)
        .string();
}

std::shared_ptr<RCNConfigDBManager> RCNConfigDBManager::managerWithPath(std::string path) {
    std::shared_ptr<RCNConfigDBManager> manager(new RCNConfigDBManager(std::move(path)));
    std::weak_ptr<RCNConfigDBManager> weak = manager;
    manager->enqueue([weak] {
        if (auto self = weak.lock()) self->createOrOpenDatabase();
    });
    return manager;
}

RCNConfigDBManager::RCNConfigDBManager(std::string path)
    : path_(std::move(path)),
      database_(std::make_unique<ZVUSQLiteDatabase>()),
      databaseOperationQueue_(DispatchQueue::create("com.zevera.ZeveraConfigService.database")) {}

RCNConfigDBManager::~RCNConfigDBManager() = default;

bool RCNConfigDBManager::isNewDatabase() const {
    return isNewDatabase_;
}

void RCNConfigDBManager::closeBatch() {
    std::lock_guard<std::mutex> lock(batchMutex_);
    openBatch_.reset();
}

void RCNConfigDBManager::enqueue(std::function<void()> block) {
    closeBatch();
    databaseOperationQueue_->async(std::move(block));
}

void RCNConfigDBManager::runOnQueue(const std::function<void()>& block) {
    closeBatch();
    databaseOperationQueue_->sync(block);
}

void RCNConfigDBManager::waitForQueue() {
    runOnQueue([] {});
}

// ---- opening, schema, migration, removal

void RCNConfigDBManager::createOrOpenDatabase() {
    const auto oldPath = std::filesystem::path(NSHomeDirectory()) / "Documents" / kDatabaseName;
    std::error_code ec;
    if (std::filesystem::exists(oldPath, ec)) {
        RCNLog(ZVULoggerLevel::Info, "I-RCN000009",
               "Old database V0 exists, removed it and replace with the new one.");
        removeDatabase(oldPath.string());
    }
    RCNLog(ZVULoggerLevel::Info, "I-RCN000062", "Loading database at path " + path_);
    if (!ensureParentDirectory(path_, isNewDatabase_)) return;
    auto open = [this] {
        if (!database_->open(path_)) {
            logDatabaseError();
            return false;
        }
        // A fetch and its activation write a namespace twice in one
        // transaction: with the default cache a large one spills to the file
        // before the commit. Only a tuning: its failure changes nothing else.
        database_->exec(kCacheSize);
        return true;
    };
    if (!open()) return;
    if (createTableSchema()) {
        migrateV1NamespaceToV2Namespace();
        setExcludedFromBackup(path_);
        return;
    }
    removeDatabase(path_);
    RCNLog(ZVULoggerLevel::Error, "I-RCN000010", "Failed to create table.");
    if (!ensureParentDirectory(path_, isNewDatabase_) || !open()) return;
    if (createTableSchema()) {
        setExcludedFromBackup(path_);
    } else {
        removeDatabase(path_);
        RCNLog(ZVULoggerLevel::Error, "I-RCN000010", "Failed to create table.");
    }
}

bool RCNConfigDBManager::createTableSchema() {
    for (const char* sql : kSchema)
        if (!executeQuery(sql)) return false;
    return true;
}

void RCNConfigDBManager::migrateV1NamespaceToV2Namespace() {
    for (const char* table : {"main", "main_active", "main_default"}) {
        auto select = prepareSQL(std::string("SELECT namespace FROM ") + table +
                                 " WHERE namespace NOT LIKE '%:%'");
        if (!select) return;
        std::vector<std::string> namespaces;
        while (select.step() == ZVUSQLiteStatement::StepResult::Row)
            namespaces.push_back(select.columnText(0));
        for (const auto& old : namespaces) {
            const std::string sql =
                std::string("UPDATE ") + table + " SET namespace = ? WHERE namespace = ?";
            auto update = prepareSQL(sql);
            if (!update) return;
            if (!update.bindText(1, old + ":" + kDefaultAppName) || !update.bindText(2, old) ||
                update.step() != ZVUSQLiteStatement::StepResult::Done) {
                logErrorWithSQL(sql);
                return;
            }
        }
    }
}

void RCNConfigDBManager::removeDatabase(const std::string& path) {
    lastFetchedWrite_.reset();
    if (path == path_) database_->close();
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec)
        RCNLog(ZVULoggerLevel::Error, "I-RCN000011",
               "Failed to remove database at path " + path + " for error " + ec.message() + ".");
}

void RCNConfigDBManager::removeDatabaseOnDatabaseQueueAtPath(const std::string& path) {
    runOnQueue([&] { removeDatabase(path); });
}

// ---- statement utilities

bool RCNConfigDBManager::executeQuery(const std::string& sql) {
    if (database_->exec(sql)) return true;
    RCNLog(ZVULoggerLevel::Error, "I-RCN000012",
           "Failed to execute query with error " + database_->lastError() + ".");
    return false;
}

ZVUSQLiteStatement RCNConfigDBManager::prepareSQL(const std::string& sql) {
    auto statement = database_->prepare(sql);
    if (!statement) logErrorWithSQL(sql);
    return statement;
}

bool RCNConfigDBManager::logErrorWithSQL(const std::string& sql) {
    if (!sql.empty()) RCNLog(ZVULoggerLevel::Error, "I-RCN000016", "Failed with SQL: " + sql + ".");
    logDatabaseError();
    return false;
}

void RCNConfigDBManager::logDatabaseError() {
    RCNLog(ZVULoggerLevel::Error, "I-RCN000015",
           "Error message: " + database_->lastError() +
               ". Error code: " + std::to_string(database_->lastErrorCode()) + ".");
}

bool RCNConfigDBManager::runWithTexts(const std::string& sql,
                                      const std::vector<std::string>& texts) {
    auto statement = prepareSQL(sql);
    if (!statement) return false;
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (!statement.bindText(static_cast<int>(i + 1), texts[i])) return logErrorWithSQL(sql);
    if (statement.step() != ZVUSQLiteStatement::StepResult::Done) return logErrorWithSQL(sql);
    return true;
}

void RCNConfigDBManager::post(std::shared_ptr<DispatchQueue> queue, WriteCompletion completion,
                              bool success) {
    if (completion) queue->async([completion, success] { completion(success); });
}

// ---- workers (database queue)

bool RCNConfigDBManager::insertMainTable(const std::vector<Value>& row, RCNDBSource source) {
    if (source == RCNDBSource::Fetched) lastFetchedWrite_.reset();
    if (row.size() != 4) {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000013",
               "Failed to insert config record. Wrong number of give parameters, current number "
               "is " +
                   std::to_string(row.size()) + ", correct number is 4.");
        return false;
    }
    const std::string sql = std::string("INSERT INTO ") + tableFor(source) +
                            " (bundle_identifier, namespace, key, value) values (?, ?, ?, ?)";
    auto statement = prepareSQL(sql);
    if (!statement) return false;
    for (int i = 0; i < 3; ++i)
        if (!statement.bindText(i + 1, row[static_cast<std::size_t>(i)].asString().value_or("")))
            return logErrorWithSQL(sql);
    if (!statement.bindBlob(4, bytesOf(row[3]))) return logErrorWithSQL(sql);
    if (statement.step() != ZVUSQLiteStatement::StepResult::Done) return logErrorWithSQL(sql);
    return true;
}

bool RCNConfigDBManager::replaceMainTable(const MainWrite& write) {
    const auto& [ns, bundleIdentifier, source, sharedRows, token] = write;
    const RCNKeyedRows& rows = *sharedRows;
    if (source == RCNDBSource::Fetched) lastFetchedWrite_.reset();
    // When the table holds only this namespace, an unqualified delete lets
    // SQLite drop its pages at once instead of deleting row by row.
    auto others = prepareSQL(std::string("SELECT EXISTS (SELECT 1 FROM ") + tableFor(source) +
                             " WHERE bundle_identifier IS NOT ? OR namespace IS NOT ?)");
    const bool alone = others && others.bindText(1, bundleIdentifier) && others.bindText(2, ns) &&
                       others.step() == ZVUSQLiteStatement::StepResult::Row &&
                       others.columnInt64(0) == 0;
    others = ZVUSQLiteStatement();
    bool ok = alone ? runWithTexts(std::string("DELETE FROM ") + tableFor(source), {})
                    : runWithTexts(std::string("DELETE FROM ") + tableFor(source) +
                                       " WHERE bundle_identifier = ? and namespace = ?",
                                   {bundleIdentifier, ns});
    const bool copy = ok && source == RCNDBSource::Active && token != 0 && lastFetchedWrite_ &&
                      lastFetchedWrite_->token == token && lastFetchedWrite_->ns == ns &&
                      lastFetchedWrite_->bundleIdentifier == bundleIdentifier;
    if (copy) {
        // The rows are those the fetched table holds for the namespace: SQLite
        // copies them without a round trip per row.
        return runWithTexts(std::string("INSERT INTO ") + tableFor(source) +
                                " (bundle_identifier, namespace, key, value) SELECT "
                                "bundle_identifier, namespace, key, value FROM main WHERE "
                                "bundle_identifier = ? and namespace = ?",
                            {bundleIdentifier, ns});
    }
    const std::string sql = std::string("INSERT INTO ") + tableFor(source) +
                            " (bundle_identifier, namespace, key, value) values (?, ?, ?, ?)";
    auto statement = ok && !rows.empty() ? prepareSQL(sql) : ZVUSQLiteStatement();
    // A reset keeps the bindings: the bundle and namespace are bound once.
    if (ok && !rows.empty() &&
        !(statement && statement.bindText(1, bundleIdentifier) && statement.bindText(2, ns)))
        ok = false;
    for (std::size_t i = 0; ok && i < rows.size(); ++i) {
        statement.reset();
        const auto& [key, value] = rows[i];
        static const unsigned char kNoBytes = 0;
        const Data* bytes = value && value->dataValue() ? &*value->dataValue() : nullptr;
        ok = statement.bindText(3, key) &&
             statement.bindBlobNoCopy(4, bytes && !bytes->empty() ? bytes->data() : &kNoBytes,
                                      bytes ? bytes->size() : 0) &&
             statement.step() == ZVUSQLiteStatement::StepResult::Done;
        if (!ok) logErrorWithSQL(sql);
    }
    if (ok && source == RCNDBSource::Fetched && token != 0)
        lastFetchedWrite_ = FetchedWrite{ns, bundleIdentifier, token};
    return ok;
}

bool RCNConfigDBManager::storeMainWrites(std::vector<MainWrite>& writes,
                                         const std::shared_ptr<MainBatch>& batch) {
    if (!database_->isOpen()) return false;
    if (!database_->beginTransaction()) return logErrorWithSQL("BEGIN");
    bool ok = true;
    for (std::size_t done = 0; ok;) {
        for (; ok && done < writes.size(); ++done) ok = replaceMainTable(writes[done]);
        // Writes asked for while these ran join the transaction: one sync for
        // a fetch and its activation, and a crash keeps all of them or none.
        if (!ok || !batch || !takeFromBatch(batch, writes)) break;
    }
    if (ok && database_->commit()) return true;
    if (ok) logErrorWithSQL("COMMIT");
    database_->rollback();
    lastFetchedWrite_.reset();
    return false;
}

bool RCNConfigDBManager::takeFromBatch(const std::shared_ptr<MainBatch>& batch,
                                       std::vector<MainWrite>& writes) {
    std::lock_guard<std::mutex> lock(batchMutex_);
    if (batch->writes.empty()) {
        if (openBatch_ == batch) openBatch_.reset();
        return false;
    }
    for (auto& write : batch->writes) writes.push_back(std::move(write));
    batch->writes.clear();
    return true;
}

void RCNConfigDBManager::storeMainBatch(const std::shared_ptr<MainBatch>& batch) {
    std::vector<MainWrite> writes;
    takeFromBatch(batch, writes);
    if (storeMainWrites(writes, batch)) return;
    while (takeFromBatch(batch, writes)) {
    }
    // One failing write must not take the others with it.
    if (writes.size() < 2) return;
    for (auto& write : writes) {
        std::vector<MainWrite> one{std::move(write)};
        storeMainWrites(one, nullptr);
    }
}

bool RCNConfigDBManager::insertMetadataTable(const Dictionary& values) {
    const std::string sql =
        "INSERT INTO fetch_metadata_v2 (bundle_identifier, namespace, fetch_time, digest_per_ns, "
        "device_context, app_context, success_fetch_time, failure_fetch_time, last_fetch_status, "
        "last_fetch_error, last_apply_time, last_set_defaults_time) values (?, ?, ?, ?, ?, ?, ?, "
        "?, ?, ?, ?, ?)";
    auto statement = prepareSQL(sql);
    if (!statement) return false;
    auto integer = [](const Value& value) -> std::int64_t {
        if (auto text = value.asString()) {
            try {
                return static_cast<std::int32_t>(std::stol(*text));
            } catch (...) {
                return 0;
            }
        }
        return static_cast<std::int32_t>(value.asInt().value_or(0));
    };
    bool bound = statement.bindText(1, values["bundle_identifier"].asString().value_or("")) &&
                 statement.bindText(2, values["namespace"].asString().value_or("")) &&
                 statement.bindDouble(3, values["fetch_time"].asDouble().value_or(0)) &&
                 statement.bindBlob(4, bytesOf(values["digest_per_ns"])) &&
                 statement.bindBlob(5, bytesOf(values["device_context"])) &&
                 statement.bindBlob(6, bytesOf(values["app_context"])) &&
                 statement.bindBlob(7, bytesOf(values["success_fetch_time"])) &&
                 statement.bindBlob(8, bytesOf(values["failure_fetch_time"])) &&
                 statement.bindInt64(9, integer(values["last_fetch_status"])) &&
                 statement.bindInt64(10, integer(values["last_fetch_error"])) &&
                 statement.bindDouble(11, values["last_apply_time"].asDouble().value_or(0)) &&
                 statement.bindDouble(12, values["last_set_defaults_time"].asDouble().value_or(0));
    if (!bound || statement.step() != ZVUSQLiteStatement::StepResult::Done)
        return logErrorWithSQL(sql);
    return true;
}

bool RCNConfigDBManager::updateMetadataTable(RCNUpdateOption option, const std::string& ns,
                                             const std::vector<Value>& values) {
    std::string sql;
    std::size_t count = 1;
    switch (option) {
        case RCNUpdateOption::ApplyTime:
            sql = "UPDATE fetch_metadata_v2 SET last_apply_time = ? WHERE namespace = ?";
            break;
        case RCNUpdateOption::DefaultTime:
            sql = "UPDATE fetch_metadata_v2 SET last_set_defaults_time = ? WHERE namespace = ?";
            break;
        case RCNUpdateOption::FetchStatus:
            sql =
                "UPDATE fetch_metadata_v2 SET last_fetch_status = ?, last_fetch_error = ? WHERE "
                "namespace = ?";
            count = 2;
            break;
        default:
            return false;
    }
    if (values.size() < count) return false;
    auto statement = prepareSQL(sql);
    if (!statement) return false;
    bool bound = true;
    for (std::size_t i = 0; i < count && bound; ++i) {
        const int index = static_cast<int>(i + 1);
        bound = count == 1 ? statement.bindDouble(index, values[i].asDouble().value_or(0))
                           : statement.bindInt64(
                                 index, static_cast<std::int32_t>(values[i].asInt().value_or(0)));
    }
    if (!bound || !statement.bindText(static_cast<int>(count + 1), ns) ||
        statement.step() != ZVUSQLiteStatement::StepResult::Done)
        return logErrorWithSQL(sql);
    return true;
}

bool RCNConfigDBManager::insertInternalMetadata(const std::vector<Value>& values) {
    if (values.size() != 2) return false;
    const std::string sql = "INSERT OR REPLACE INTO internal_metadata (key, value) values (?, ?)";
    auto statement = prepareSQL(sql);
    if (!statement) return false;
    if (!statement.bindText(1, values[0].asString().value_or("")) ||
        !statement.bindBlob(2, bytesOf(values[1])) ||
        statement.step() != ZVUSQLiteStatement::StepResult::Done)
        return logErrorWithSQL(sql);
    return true;
}

bool RCNConfigDBManager::insertExperimentTable(const std::string& key, const Data& value) {
    const bool metadata = key == RCNExperimentTableKeyMetadata;
    const std::string sql = metadata ? "INSERT OR REPLACE INTO experiment (_id, key, value) values "
                                       "((SELECT _id from experiment WHERE key = ?), ?, ?)"
                                     : "INSERT INTO experiment (key, value) values (?, ?)";
    auto statement = prepareSQL(sql);
    if (!statement) return false;
    int index = 1;
    bool bound = (!metadata || statement.bindText(index++, key)) &&
                 statement.bindText(index++, key) && statement.bindBlob(index, value);
    if (!bound || statement.step() != ZVUSQLiteStatement::StepResult::Done)
        return logErrorWithSQL(sql);
    return true;
}

std::optional<RCNNamespaceValues> RCNConfigDBManager::loadMainTable(
    const std::string& bundleIdentifier, RCNDBSource source) {
    const std::string sql = std::string("SELECT bundle_identifier, namespace, key, value FROM ") +
                            tableFor(source) + " WHERE bundle_identifier = ?";
    auto statement = prepareSQL(sql);
    if (!statement) return std::nullopt;
    if (!statement.bindText(1, bundleIdentifier)) {
        logErrorWithSQL(sql);
        return std::nullopt;
    }
    const auto kind = source == RCNDBSource::Default ? DIROdadevOveredSource::Default
                                                     : DIROdadevOveredSource::Remote;
    RCNNamespaceValues result;
    while (statement.step() == ZVUSQLiteStatement::StepResult::Row) {
        result[statement.columnText(1)][statement.columnText(2)] =
            DIROdadevOveredValue::initWithData(statement.columnBlob(3), kind);
    }
    return result;
}

std::optional<Dictionary> RCNConfigDBManager::loadMetadataTable(const std::string& bundleIdentifier,
                                                                const std::string& ns) {
    const std::string sql =
        "SELECT bundle_identifier, fetch_time, digest_per_ns, device_context, app_context, "
        "success_fetch_time, failure_fetch_time , last_fetch_status, last_fetch_error, "
        "last_apply_time, last_set_defaults_time FROM fetch_metadata_v2 WHERE bundle_identifier = "
        "? and namespace = ?";
    auto statement = prepareSQL(sql);
    if (!statement) return std::nullopt;
    if (!statement.bindText(1, bundleIdentifier) || !statement.bindText(2, ns)) {
        logErrorWithSQL(sql);
        return std::nullopt;
    }
    Dictionary result;
    if (statement.step() != ZVUSQLiteStatement::StepResult::Row) return result;
    const std::string stored = statement.columnText(0);
    if (stored != bundleIdentifier) {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000014",
               "Load Metadata from table error: Wrong package name " + stored + ", should be " +
                   bundleIdentifier + ".");
        return std::nullopt;
    }
    result.set("bundle_identifier", bundleIdentifier);
    result.set("fetch_time", statement.columnDouble(1));
    const char* jsonColumns[] = {"digest_per_ns", "device_context", "app_context",
                                 "success_fetch_time", "failure_fetch_time"};
    for (int i = 0; i < 5; ++i)
        if (auto json = parseJSON(statement.columnBlob(i + 2))) result.set(jsonColumns[i], *json);
    result.set("last_fetch_status", statement.columnInt64(7));
    result.set("last_fetch_error", statement.columnInt64(8));
    result.set("last_apply_time", statement.columnDouble(9));
    result.set("last_set_defaults_time", statement.columnDouble(10));
    return result;
}

std::optional<std::vector<Data>> RCNConfigDBManager::loadExperimentTableFromKey(
    const std::string& key) {
    const std::string sql = "SELECT value FROM experiment WHERE key = ?";
    auto statement = prepareSQL(sql);
    if (!statement) return std::nullopt;
    if (!statement.bindText(1, key)) {
        logErrorWithSQL(sql);
        return std::nullopt;
    }
    std::vector<Data> rows;
    while (statement.step() == ZVUSQLiteStatement::StepResult::Row)
        rows.push_back(statement.columnBlob(0));
    return rows;
}

std::optional<Data> RCNConfigDBManager::loadPersonalizationTableFromKey(long key) {
    const std::string sql = "SELECT value FROM personalization WHERE key = ?";
    auto statement = prepareSQL(sql);
    if (!statement) return std::nullopt;
    if (!statement.bindInt64(1, key)) {
        logErrorWithSQL(sql);
        return std::nullopt;
    }
    std::vector<Data> rows;
    while (statement.step() == ZVUSQLiteStatement::StepResult::Row)
        rows.push_back(statement.columnBlob(0));
    if (rows.size() != 1) return std::nullopt;
    return rows.front();
}

// ---- queued operations

void RCNConfigDBManager::insertMainTableWithValues(std::vector<Value> row, RCNDBSource source,
                                                   WriteCompletion completion) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, row = std::move(row), source, completion] {
        if (auto self = weak.lock())
            self->post(DispatchQueue::main(), completion, self->insertMainTable(row, source));
    });
}

void RCNConfigDBManager::insertMetadataTableWithValues(Dictionary values,
                                                       WriteCompletion completion) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, values = std::move(values), completion] {
        if (auto self = weak.lock())
            self->post(DispatchQueue::main(), completion, self->insertMetadataTable(values));
    });
}

void RCNConfigDBManager::updateMetadataWithOption(RCNUpdateOption option, std::string ns,
                                                  std::vector<Value> values,
                                                  WriteCompletion completion) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue(
        [weak, option, ns = std::move(ns), values = std::move(values), completion] {
            if (auto self = weak.lock())
                self->post(DispatchQueue::main(), completion,
                           self->updateMetadataTable(option, ns, values));
        });
}

void RCNConfigDBManager::insertInternalMetadataTableWithValues(std::vector<Value> values,
                                                               WriteCompletion completion) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, values = std::move(values), completion] {
        if (auto self = weak.lock())
            self->post(DispatchQueue::main(), completion, self->insertInternalMetadata(values));
    });
}

void RCNConfigDBManager::insertExperimentTableWithKey(std::string key, Data value,
                                                      WriteCompletion completion) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, key = std::move(key), value = std::move(value),
                                    completion] {
        if (auto self = weak.lock())
            self->post(DispatchQueue::main(), completion, self->insertExperimentTable(key, value));
    });
}

void RCNConfigDBManager::insertOrUpdatePersonalizationConfig(const Dictionary& config,
                                                             RCNDBSource source) {
    std::optional<Data> json =
        NSJSONSerialization::dataWithJSONObject(Value(config), nullptr, false, true);
    if (!json)
        RCNLog(ZVULoggerLevel::Error, "I-RCN000075",
               "Invalid Personalization payload to be serialized.");
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, json = std::move(json), source] {
        auto self = weak.lock();
        if (!self) return;
        const std::string sql =
            "INSERT OR REPLACE INTO personalization (_id, key, value) values "
            "((SELECT _id from personalization WHERE key = ?), ?, ?)";
        auto statement = self->prepareSQL(sql);
        if (!statement) return;
        const auto kind = static_cast<std::int64_t>(source);
        bool bound = statement.bindInt64(1, kind) && statement.bindInt64(2, kind) &&
                     (json ? statement.bindBlob(3, *json) : statement.bindNull(3));
        if (!bound || statement.step() != ZVUSQLiteStatement::StepResult::Done)
            self->logErrorWithSQL(sql);
    });
}

std::uint64_t RCNConfigDBManager::replaceMainTableNamespace(std::string ns,
                                                            std::string bundleIdentifier,
                                                            RCNDBSource source, RCNKeyedRows rows,
                                                            std::uint64_t fetchedToken) {
    return replaceMainTableNamespaceSharing(std::move(ns), std::move(bundleIdentifier), source,
                                            std::make_shared<const RCNKeyedRows>(std::move(rows)),
                                            fetchedToken);
}

std::uint64_t RCNConfigDBManager::replaceMainTableNamespaceSharing(
    std::string ns, std::string bundleIdentifier, RCNDBSource source,
    std::shared_ptr<const RCNKeyedRows> rows, std::uint64_t fetchedToken) {
    if (!rows) rows = std::make_shared<const RCNKeyedRows>();
    static std::atomic<std::uint64_t> lastToken{0};
    const std::uint64_t token = source == RCNDBSource::Fetched ? ++lastToken : fetchedToken;
    MainWrite write{std::move(ns), std::move(bundleIdentifier), source, std::move(rows), token};
    std::lock_guard<std::mutex> lock(batchMutex_);
    if (!openBatch_) {
        openBatch_ = std::make_shared<MainBatch>();
        std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
        databaseOperationQueue_->async([weak, batch = openBatch_] {
            if (auto self = weak.lock()) self->storeMainBatch(batch);
        });
    }
    openBatch_->writes.push_back(std::move(write));
    return source == RCNDBSource::Fetched ? token : 0;
}

void RCNConfigDBManager::loadMainWithBundleIdentifier(std::string bundleIdentifier,
                                                      MainLoad completion) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, bundleIdentifier = std::move(bundleIdentifier), completion] {
        auto self = weak.lock();
        if (!self) {
            if (completion)
                DispatchQueue::global()->async([completion] { completion(false, {}, {}, {}); });
            return;
        }
        auto fetched = self->loadMainTable(bundleIdentifier, RCNDBSource::Fetched);
        auto active = self->loadMainTable(bundleIdentifier, RCNDBSource::Active);
        auto defaults = self->loadMainTable(bundleIdentifier, RCNDBSource::Default);
        if (!completion) return;
        DispatchQueue::global()->async(
            [completion, f = std::move(fetched).value_or(RCNNamespaceValues{}),
             a = std::move(active).value_or(RCNNamespaceValues{}),
             d = std::move(defaults).value_or(RCNNamespaceValues{})]() mutable {
                completion(true, std::move(f), std::move(a), std::move(d));
            });
    });
}

Dictionary RCNConfigDBManager::loadMetadataWithBundleIdentifier(const std::string& bundleIdentifier,
                                                                const std::string& ns) {
    std::optional<Dictionary> result;
    runOnQueue([&] { result = loadMetadataTable(bundleIdentifier, ns); });
    return result.value_or(Dictionary{});
}

std::optional<std::map<std::string, Data>> RCNConfigDBManager::loadInternalMetadataTable() {
    std::optional<std::map<std::string, Data>> result;
    runOnQueue([&] {
        const std::string sql = "SELECT key, value FROM internal_metadata";
        auto statement = prepareSQL(sql);
        if (!statement) return;
        std::map<std::string, Data> rows;
        while (statement.step() == ZVUSQLiteStatement::StepResult::Row)
            rows[statement.columnText(0)] = statement.columnBlob(1);
        result = std::move(rows);
    });
    return result;
}

void RCNConfigDBManager::loadExperimentWithCompletionHandler(ExperimentLoad completion) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, completion] {
        auto self = weak.lock();
        if (!self) return;
        Array payloads;
        for (auto& row : self->loadExperimentTableFromKey(RCNExperimentTableKeyPayload)
                             .value_or(std::vector<Data>{}))
            payloads.emplace_back(std::move(row));
        Dictionary metadata;
        auto rows = self->loadExperimentTableFromKey(RCNExperimentTableKeyMetadata);
        if (rows && !rows->empty()) {
            auto parsed = parseJSON(rows->front());
            if (parsed && parsed->asDictionary()) metadata = *parsed->asDictionary();
        }
        if (!completion) return;
        Dictionary result{{RCNExperimentTableKeyPayload, Value(std::move(payloads))},
                          {RCNExperimentTableKeyMetadata, Value(std::move(metadata))}};
        DispatchQueue::main()->async([completion, result] { completion(true, result); });
    });
}

void RCNConfigDBManager::loadPersonalizationWithCompletionHandler(PersonalizationLoad completion) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, completion] {
        auto self = weak.lock();
        if (!self) {
            if (completion)
                DispatchQueue::global()->async([completion] { completion(false, {}, {}); });
            return;
        }
        auto read = [&](RCNDBSource kind) {
            auto bytes = self->loadPersonalizationTableFromKey(static_cast<long>(kind));
            if (!bytes) return Dictionary{};
            auto parsed = parseJSON(*bytes);
            return parsed && parsed->asDictionary() ? *parsed->asDictionary() : Dictionary{};
        };
        Dictionary active = read(RCNDBSource::Active);
        Dictionary fetched = read(RCNDBSource::Fetched);
        if (completion)
            DispatchQueue::global()->async(
                [completion, fetched, active] { completion(true, fetched, active); });
    });
}

void RCNConfigDBManager::deleteRecordFromMainTableWithNamespace(std::string ns,
                                                                std::string bundleIdentifier,
                                                                RCNDBSource source) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue(
        [weak, ns = std::move(ns), bundleIdentifier = std::move(bundleIdentifier), source] {
            auto self = weak.lock();
            if (!self) return;
            if (source == RCNDBSource::Fetched) self->lastFetchedWrite_.reset();
            self->runWithTexts(std::string("DELETE FROM ") + tableFor(source) +
                                   " WHERE bundle_identifier = ? and namespace = ?",
                               {bundleIdentifier, ns});
        });
}

void RCNConfigDBManager::deleteRecordWithBundleIdentifier(std::string bundleIdentifier,
                                                          std::string ns, bool isInternalDB) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue(
        [weak, bundleIdentifier = std::move(bundleIdentifier), ns = std::move(ns), isInternalDB] {
            auto self = weak.lock();
            if (!self) return;
            if (isInternalDB)
                self->runWithTexts("DELETE FROM internal_metadata WHERE key LIKE ?",
                                   {bundleIdentifier});
            else
                self->runWithTexts(
                    "DELETE FROM fetch_metadata_v2 WHERE bundle_identifier = ? and namespace = ?",
                    {bundleIdentifier, ns});
        });
}

void RCNConfigDBManager::deleteExperimentTableForKey(std::string key) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, key = std::move(key)] {
        if (auto self = weak.lock())
            self->runWithTexts("DELETE FROM experiment WHERE key = ?", {key});
    });
}

void RCNConfigDBManager::deleteAllRecordsFromTableWithSource(RCNDBSource source) {
    std::weak_ptr<RCNConfigDBManager> weak = weak_from_this();
    enqueue([weak, source] {
        auto self = weak.lock();
        if (!self) return;
        if (source == RCNDBSource::Fetched) self->lastFetchedWrite_.reset();
        self->runWithTexts(std::string("DELETE FROM ") + tableFor(source), {});
    });
}
