#pragma once
// The remote-configuration database: fetched, active and default content of
// every namespace, fetch metadata, internal metadata, experiment payloads and
// personalization, kept in one SQLite file across launches.
//
// Every operation runs on the manager's own serial queue, in the order it was
// asked for; the opening is the first block there. Completion blocks of
// writes and of the experiment load arrive on the main queue, those of the
// content and personalization loads on the global queue. Failures are
// reported as success flags and logged; no error objects.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "services/remoteconfig/DIROdadevOveredValue.h"

class ZVUSQLiteDatabase;
class ZVUSQLiteStatement;

// The kind of stored content and so its table.
enum class RCNDBSource : long { Active = 0, Default = 1, Fetched = 2 };
// Which columns of the fetch metadata an update touches.
enum class RCNUpdateOption : long { ApplyTime = 0, DefaultTime = 1, FetchStatus = 2 };

// Namespace -> key -> value.
using RCNNamespaceValues = std::map<std::string, RCNKeyedValues>;
inline constexpr const char* RCNExperimentTableKeyPayload = "experiment_payload";
inline constexpr const char* RCNExperimentTableKeyMetadata = "experiment_metadata";

class RCNConfigDBManager : public std::enable_shared_from_this<RCNConfigDBManager> {
  public:
    using WriteCompletion = std::function<void(bool success)>;
    using MainLoad = std::function<void(bool success, RCNNamespaceValues fetched,
                                        RCNNamespaceValues active, RCNNamespaceValues defaults)>;
    using ExperimentLoad = std::function<void(bool success, Dictionary result)>;
    using PersonalizationLoad =
        std::function<void(bool success, Dictionary fetched, Dictionary active)>;

    // The one manager of the process, on remoteConfigPathForDatabase().
    static std::shared_ptr<RCNConfigDBManager> sharedInstance();
    // <Application Support>/Zevera/RemoteConfig/RemoteConfig.sqlite3.
    static std::string remoteConfigPathForDatabase();
    // A manager on the database at `path`; the opening is queued at once.
    static std::shared_ptr<RCNConfigDBManager> managerWithPath(std::string path);
    ~RCNConfigDBManager();

    // Whether the file was absent when this manager opened it.
    bool isNewDatabase() const;
    const std::string& path() const { return path_; }

    // `row`: bundle identifier, namespace, key (texts) and the value bytes.
    void insertMainTableWithValues(std::vector<Value> row, RCNDBSource source,
                                   WriteCompletion completion = nullptr);
    // `values`: the twelve fetch_metadata_v2 columns by name.
    void insertMetadataTableWithValues(Dictionary values, WriteCompletion completion = nullptr);
    void updateMetadataWithOption(RCNUpdateOption option, std::string ns, std::vector<Value> values,
                                  WriteCompletion completion = nullptr);
    // `values`: key text and bytes.
    void insertInternalMetadataTableWithValues(std::vector<Value> values,
                                               WriteCompletion completion = nullptr);
    void insertExperimentTableWithKey(std::string key, Data value,
                                      WriteCompletion completion = nullptr);
    // The namespace's rows of `source` become `rows`: one transaction, one
    // prepared statement. A fetched write returns its token; an active write
    // that passes the token of the fetched write its rows come from lets the
    // database copy them when that write is still the fetched table's last.
    std::uint64_t replaceMainTableNamespace(std::string ns, std::string bundleIdentifier,
                                            RCNDBSource source, RCNKeyedRows rows,
                                            std::uint64_t fetchedToken = 0);
    // As above with rows that may be shared with other writes.
    std::uint64_t replaceMainTableNamespaceSharing(std::string ns, std::string bundleIdentifier,
                                                   RCNDBSource source,
                                                   std::shared_ptr<const RCNKeyedRows> rows,
                                                   std::uint64_t fetchedToken = 0);
    void insertOrUpdatePersonalizationConfig(const Dictionary& config, RCNDBSource source);

    void loadMainWithBundleIdentifier(std::string bundleIdentifier, MainLoad completion);
    // Waits for the database queue; empty when there is no row.
    Dictionary loadMetadataWithBundleIdentifier(const std::string& bundleIdentifier,
                                                const std::string& ns);
    // Waits for the database queue; null on a read failure.
    std::optional<std::map<std::string, Data>> loadInternalMetadataTable();
    void loadExperimentWithCompletionHandler(ExperimentLoad completion);
    void loadPersonalizationWithCompletionHandler(PersonalizationLoad completion);

    void deleteRecordFromMainTableWithNamespace(std::string ns, std::string bundleIdentifier,
                                                RCNDBSource source);
    void deleteRecordWithBundleIdentifier(std::string bundleIdentifier, std::string ns,
                                          bool isInternalDB);
    void deleteExperimentTableForKey(std::string key);
    void deleteAllRecordsFromTableWithSource(RCNDBSource source);
    // Closes the connection and deletes the file; waits for the queue.
    void removeDatabaseOnDatabaseQueueAtPath(const std::string& path);

    // Tests: the next sharedInstance() opens the database of the home then.
    static void resetSharedInstanceForTesting();
    // Returns once every block queued so far has run.
    void waitForQueue();
    // Tests: runs the block on the database queue after what is queued.
    void enqueueForTesting(std::function<void()> block) { enqueue(std::move(block)); }

  private:
    explicit RCNConfigDBManager(std::string path);
    void createOrOpenDatabase();
    bool createTableSchema();
    void migrateV1NamespaceToV2Namespace();
    void removeDatabase(const std::string& path);
    bool executeQuery(const std::string& sql);
    ZVUSQLiteStatement prepareSQL(const std::string& sql);
    bool logErrorWithSQL(const std::string& sql);
    void logDatabaseError();

    bool insertMainTable(const std::vector<Value>& row, RCNDBSource source);
    // A namespace's rows of one table; for a fetched write the token it
    // returned, for an active one the token of the fetched rows it copies.
    struct MainWrite {
        std::string ns;
        std::string bundleIdentifier;
        RCNDBSource source;
        std::shared_ptr<const RCNKeyedRows> rows;
        std::uint64_t token = 0;
    };
    // The main-table writes queued one after another, nothing between them.
    struct MainBatch {
        std::vector<MainWrite> writes;  // guarded by batchMutex_
    };
    // Queues blocks; a main-table write after them starts a new batch.
    void enqueue(std::function<void()> block);
    void runOnQueue(const std::function<void()>& block);
    void closeBatch();
    void storeMainBatch(const std::shared_ptr<MainBatch>& batch);
    // One transaction for all of `writes` and what joins `batch` meanwhile,
    // which is added to `writes`.
    bool storeMainWrites(std::vector<MainWrite>& writes, const std::shared_ptr<MainBatch>& batch);
    // Moves the batch's writes to `writes`; when it has none, closes it.
    bool takeFromBatch(const std::shared_ptr<MainBatch>& batch, std::vector<MainWrite>& writes);
    // Within the open transaction.
    bool replaceMainTable(const MainWrite& write);
    bool insertMetadataTable(const Dictionary& values);
    bool updateMetadataTable(RCNUpdateOption option, const std::string& ns,
                             const std::vector<Value>& values);
    bool insertInternalMetadata(const std::vector<Value>& values);
    bool insertExperimentTable(const std::string& key, const Data& value);
    std::optional<RCNNamespaceValues> loadMainTable(const std::string& bundleIdentifier,
                                                    RCNDBSource source);
    std::optional<Dictionary> loadMetadataTable(const std::string& bundleIdentifier,
                                                const std::string& ns);
    std::optional<std::vector<Data>> loadExperimentTableFromKey(const std::string& key);
    std::optional<Data> loadPersonalizationTableFromKey(long key);
    bool runWithTexts(const std::string& sql, const std::vector<std::string>& texts);
    void post(std::shared_ptr<DispatchQueue> queue, WriteCompletion completion, bool success);

    std::string path_;
    std::unique_ptr<ZVUSQLiteDatabase> database_;
    std::shared_ptr<DispatchQueue> databaseOperationQueue_;
    bool isNewDatabase_ = false;
    // The last change of the fetched table, when it was a whole namespace
    // written by replaceMainTable; database queue only.
    struct FetchedWrite {
        std::string ns;
        std::string bundleIdentifier;
        std::uint64_t token = 0;
    };
    std::optional<FetchedWrite> lastFetchedWrite_;
    std::mutex batchMutex_;
    // The batch still taking writes, if any.
    std::shared_ptr<MainBatch> openBatch_;
};
