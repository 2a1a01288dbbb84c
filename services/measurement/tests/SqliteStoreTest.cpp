#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMSqliteStore.h"
#include "services/measurement/tests/MeasurementTempHome.h"
#include "services/util/ZVUSQLite.h"

namespace {

namespace fs = std::filesystem;

bool monitorLogged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines()) {
        if (line.messageCode == code) return true;
    }
    return false;
}

class SqliteStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        APMMeasurement::monitor().clearLines();
        path = (home.path() / "deep/er/store.sql").string();
        store = APMSqliteStore::initWithDatabasePath(path, &error);
        ASSERT_TRUE(store) << error.localizedDescription();
    }
    // The SQL text SQLite keeps for a table.
    std::string createText(const std::string& table) {
        auto rows = store->recordsForQuery("SELECT sql FROM sqlite_master WHERE name=?",
                                           Array{Value(table)});
        return rows && !rows->empty() ? *(*rows)[0]["sql"].asString() : "";
    }
    MeasurementTempHome home;
    std::string path;
    NSError error;
    std::unique_ptr<APMSqliteStore> store;
};

TEST_F(SqliteStoreTest, OpensInNewDirectoryAndRecreatesCorruptFile) {
    EXPECT_TRUE(fs::exists(path));
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a)"));
    store.reset();
    {
        std::ofstream out(path, std::ios::trunc | std::ios::binary);
        out << std::string(4096, 'x');
    }
    store = APMSqliteStore::initWithDatabasePath(path, &error);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->tableExists("t"), false);

    EXPECT_FALSE(APMSqliteStore::initWithDatabasePath("", &error));
    EXPECT_EQ(error.code, 1);
}

TEST_F(SqliteStoreTest, CreatesTablesAndAddsOnlyMissingAddOnColumns) {
    ASSERT_TRUE(store->ensureTable(
        "t", {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}, {"PRIMARY KEY", "(a, b)"}}, {}, &error));
    EXPECT_EQ(createText("t"), "CREATE TABLE t ( a INTEGER NOT NULL, b TEXT, PRIMARY KEY (a, b))");

    ASSERT_TRUE(store->ensureTable("t", {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}},
                                   {{"c", "INTEGER"}, {"d", "BLOB"}}, &error));
    EXPECT_EQ(store->columnsForTable("t"), (std::vector<std::string>{"a", "b", "c", "d"}));
    // Already there: left alone.
    ASSERT_TRUE(store->ensureTable("t", {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}},
                                   {{"c", "INTEGER"}, {"d", "BLOB"}}, &error));

    ASSERT_TRUE(store->executeSQL("ALTER TABLE t ADD COLUMN nullable TEXT"));
    EXPECT_TRUE(store->ensureTable("t", {{"a", "INTEGER NOT NULL"}}, {}, &error));
    ASSERT_TRUE(store->executeSQL("ALTER TABLE t ADD COLUMN strict TEXT NOT NULL DEFAULT ''"));
    EXPECT_FALSE(store->ensureTable("t", {{"a", "INTEGER NOT NULL"}}, {}, &error));
    EXPECT_EQ(error.code, 2);
    EXPECT_EQ(error.localizedDescription(), "Table contains unknown non-optional columns");
    EXPECT_FALSE(store->ensureTable("t", {{"zz", "INTEGER"}}, {}, &error));
    EXPECT_EQ(error.localizedDescription(), "Table is missing required columns");
}

TEST_F(SqliteStoreTest, TypeChangeRewritesTableKeepingRowsByName) {
    // An older shape: a's type differs, and an extra nullable column sits
    // between the columns the current shape knows.
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a TEXT NOT NULL, legacy TEXT, b TEXT)"));
    ASSERT_TRUE(store->executeSQL("INSERT INTO t VALUES ('1', 'old', 'x')"));
    ASSERT_TRUE(store->ensureTable("t", {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}},
                                   {{"c", "INTEGER"}}, {{"a", "INTEGER NOT NULL"}}, &error))
        << error.localizedDescription();
    auto info = store->columnInfoForTable("t");
    EXPECT_EQ(info, (std::map<std::string, std::string>{
                        {"a", "INTEGER"}, {"b", "TEXT"}, {"c", "INTEGER"}}));
    auto rows = store->recordsForQuery("SELECT a, b FROM t", {});
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0]["a"], Value(1LL));
    EXPECT_EQ((*rows)[0]["b"], Value("x"));
    EXPECT_EQ(store->tableExists("t_old"), false);
}

TEST_F(SqliteStoreTest, FailedRewriteRollsBackEverything) {
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a TEXT, b TEXT)"));
    ASSERT_TRUE(store->executeSQL("INSERT INTO t VALUES (NULL, 'x')"));
    // The new shape refuses the NULL in a, so the copy fails.
    EXPECT_FALSE(
        store->ensureSchemaOfTable("t", {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}}, {}, &error));
    EXPECT_EQ(store->columnInfoForTable("t"),
              (std::map<std::string, std::string>{{"a", "TEXT"}, {"b", "TEXT"}}));
    EXPECT_EQ(store->rowCount("t"), 1);
    EXPECT_EQ(store->tableExists("t_old"), false);
    // Same first words: nothing to do.
    EXPECT_TRUE(store->ensureSchemaOfTable("t", {{"a", "TEXT NOT NULL"}, {"b", "TEXT"}}, {}));
}

TEST_F(SqliteStoreTest, RecordsRoundTripWithTypes) {
    ASSERT_TRUE(
        store->executeSQL("CREATE TABLE t (k TEXT PRIMARY KEY, i INTEGER, d REAL, b BLOB)"));
    ASSERT_TRUE(store->upsertRecord(
        Dictionary{{"k", "a"}, {"i", 7}, {"d", 1.5}, {"b", Value(Data{1, 2})}}, "t", &error));
    ASSERT_TRUE(
        store->upsertRecord(Dictionary{{"k", "z"}, {"i", true}, {"b", Value(Data{})}}, "t"));
    auto rows = store->recordsForQuery("select * from t ORDER BY k", {});
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0],
              (Dictionary{{"k", "a"}, {"i", 7LL}, {"d", 1.5}, {"b", Value(Data{1, 2})}}));
    // A zero-length blob reads back as a missing entry.
    EXPECT_FALSE((*rows)[1].contains("b"));
    EXPECT_EQ((*rows)[1]["d"], Value());
    EXPECT_TRUE(monitorLogged(34004));

    ASSERT_TRUE(store->updateRecord(Dictionary{{"i", 8}}, "t", "k", Value("a")));
    EXPECT_EQ(store->numberForQuery("SELECT i FROM t WHERE k=?", Array{Value("a")}), Value(8LL));
    ASSERT_TRUE(store->updateAllRecords("t", "d", Value(2.0)));
    ASSERT_TRUE(store->increaseColumn("i", 5, "t", "k=?", Array{Value("a")}));
    EXPECT_EQ(store->numberForQuery("SELECT i FROM t WHERE k='a'", {}), Value(13LL));
    EXPECT_FALSE(store->increaseColumn("d", 1, "t", "1", {}, &error));
    EXPECT_EQ(error.localizedDescription(), "Column type is not integer.");
    EXPECT_FALSE(store->increaseColumn("nope", 1, "t", "1", {}, &error));
    EXPECT_EQ(error.localizedDescription(), "Invalid column or table name");

    EXPECT_EQ(store->rowCount("t", "k", Value("z")), 1);
    EXPECT_EQ(store->deleteRecords("t", "i > ?", Array{Value(100)}), 0);
    EXPECT_TRUE(store->deleteRecord("t", "k", Value("z")));
    EXPECT_EQ(store->deleteRecords("t", "i > ?", Array{Value(0)}), 1);
    EXPECT_TRUE(store->deleteAllRecords("t"));
    EXPECT_EQ(store->rowCount("t"), 0);
}

TEST_F(SqliteStoreTest, RefusesBadArguments) {
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (k TEXT, n INTEGER)"));
    APMMeasurement::monitor().clearLines();
    error = {};
    EXPECT_FALSE(store->upsertRecord(Dictionary{{"k", Value(Array{Value(1)})}}, "t", &error));
    EXPECT_EQ(error.code, 0);
    EXPECT_TRUE(monitorLogged(34020));
    EXPECT_FALSE(
        store->updateRecord(Dictionary{{"k", Value(Array{})}}, "t", "k", Value(1), &error));
    EXPECT_EQ(error.code, 1);

    struct Case {
        const char* query;
        Array parameters;
        const char* message;
    } cases[] = {
        {"SELECT * FROM t WHERE k=?", {}, "Received empty parameters"},
        {"SELECT * FROM t; ", {}, "Query contained more than one SQL statement."},
        {" SELECT * FROM t", {}, "Received invalid select query"},
        {"DELETE FROM t", {}, "Received invalid select query"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(store->recordsForQuery(c.query, c.parameters, &error)) << c.query;
        EXPECT_EQ(error.code, 1) << c.query;
        EXPECT_EQ(error.localizedDescription(), c.message) << c.query;
    }
    EXPECT_FALSE(store->recordsForQuery("SELECT * FROM missing", {}, &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_NE(error.localizedDescription().find("prepare statement"), std::string::npos);
}

TEST_F(SqliteStoreTest, QueriesAndFilters) {
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (k TEXT, n INTEGER)"));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(store->upsertRecord(Dictionary{{"k", "r"}, {"n", i}}, "t"));
    }
    APMMeasurement::monitor().clearLines();
    auto two =
        store->recordsForQuery("SeLeCt n FROM t ORDER BY n", {}, nullptr,
                               [](size_t accepted, const Dictionary&) { return accepted < 2; });
    EXPECT_EQ(two->size(), 2u);
    EXPECT_FALSE(monitorLogged(34005));
    auto none = store->recordsForQuery("SELECT n FROM t", {}, nullptr,
                                       [](size_t, const Dictionary&) { return false; });
    EXPECT_TRUE(none->empty());
    EXPECT_TRUE(monitorLogged(34005));
    APMMeasurement::monitor().clearLines();
    EXPECT_TRUE(store->recordsForQuery("SELECT n FROM t WHERE n > ?", Array{Value(9)})->empty());
    EXPECT_FALSE(monitorLogged(34005));

    error = {};
    EXPECT_EQ(store->numberForQuery("SELECT NULL", {}, &error), std::nullopt);
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(store->numberForQuery("SELECT 'x'", {}, &error), std::nullopt);
    EXPECT_EQ(error.localizedDescription(), "Found result that was not numeric");
}

TEST_F(SqliteStoreTest, CachesOnlyParameterizedOrUnconditionalStatements) {
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (n INTEGER)"));
    size_t before = store->cachedStatementCount();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(store->recordsForQuery("SELECT n FROM t WHERE n = " + std::to_string(i), {}));
        ASSERT_TRUE(store->recordsForQuery("SELECT n FROM t WHERE n = ?", Array{Value(i)}));
        ASSERT_TRUE(store->recordsForQuery("SELECT n FROM t", {}));
    }
    EXPECT_EQ(store->cachedStatementCount(), before + 2);
}

TEST_F(SqliteStoreTest, TransactionsAreExclusiveAndRollBack) {
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (n INTEGER)"));
    EXPECT_FALSE(store->performTransaction(&error, [&] {
        store->upsertRecord(Dictionary{{"n", 1}}, "t");
        return false;
    }));
    EXPECT_EQ(error.localizedDescription(), "Transaction failed");
    EXPECT_EQ(store->rowCount("t"), 0);
    EXPECT_THROW(store->performTransaction(&error,
                                           [&]() -> bool {
                                               store->upsertRecord(Dictionary{{"n", 1}}, "t");
                                               throw std::runtime_error("boom");
                                           }),
                 std::runtime_error);
    EXPECT_EQ(store->rowCount("t"), 0);

    ZVUSQLiteDatabase other;
    ASSERT_TRUE(other.open(path));
    EXPECT_TRUE(store->performTransaction(&error, [&] {
        store->upsertRecord(Dictionary{{"n", 1}}, "t");
        // Exclusive: another connection cannot even read.
        return !other.prepare("SELECT * FROM t").execute();
    }));
    EXPECT_EQ(store->rowCount("t"), 1);
}

TEST_F(SqliteStoreTest, ClosedStoreRefusesWithStateErrors) {
    store->closeDatabase();
    EXPECT_FALSE(store->tableExists("t", &error));
    EXPECT_EQ(error.code, 2);
    EXPECT_EQ(error.localizedDescription(), "Table exists failed. Database not open.");
    EXPECT_FALSE(store->performTransaction(&error, [] { return true; }));
    EXPECT_EQ(error.localizedDescription(), "Database not open");
    EXPECT_FALSE(store->upsertRecord(Dictionary{{"n", 1}}, "t", &error));
    EXPECT_EQ(error.localizedDescription(), "Upsert record failed. Database not open.");
    EXPECT_TRUE(store->closeAndDeleteDatabase());
    EXPECT_FALSE(fs::exists(path));
}

// A store file of several pages: table t with `rows` rows of 200 bytes.
void writeStoreWithRows(const std::string& path, int rows) {
    auto store = APMSqliteStore::initWithDatabasePath(path);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (n INTEGER, pad BLOB)"));
    for (int i = 0; i < rows; ++i) {
        ASSERT_TRUE(store->upsertRecord(Dictionary{{"n", i}, {"pad", Data(200, 7)}}, "t"));
    }
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// How long the store's connection waits on another connection's lock.
std::optional<long long> busyTimeoutOf(APMSqliteStore& store) {
    auto timeout = store.numberForQuery("PRAGMA busy_timeout", {});
    return timeout ? timeout->asInt() : std::nullopt;
}

TEST_F(SqliteStoreTest, BusyFileIsKeptAndReadAfterTheLockEnds) {
    // A busy file is waited on before a statement fails as busy.
    EXPECT_EQ(busyTimeoutOf(*store), ZVUSQLiteDatabase::kDefaultBusyTimeoutMilliseconds);
    store.reset();
    writeStoreWithRows(path, 5);
    ZVUSQLiteDatabase other;
    ASSERT_TRUE(other.open(path));
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE"));

    EXPECT_FALSE(APMSqliteStore::initWithDatabasePath(path, &error, 20));
    EXPECT_NE(error.localizedDescription().find("locked"), std::string::npos)
        << error.localizedDescription();
    EXPECT_FALSE(fs::exists(path + ".damaged"));

    ASSERT_TRUE(other.exec("COMMIT"));
    store = APMSqliteStore::initWithDatabasePath(path, &error, 20);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->rowCount("t"), 5);
    EXPECT_EQ(busyTimeoutOf(*store), 20);
}

TEST_F(SqliteStoreTest, FailedStepIsAnErrorNotTheEndOfTheRows) {
    store.reset();
    writeStoreWithRows(path, 3);
    store = APMSqliteStore::initWithDatabasePath(path, &error, 20);
    ASSERT_TRUE(store);
    ASSERT_EQ(store->recordsForQuery("SELECT n FROM t", {})->size(), 3u);
    ZVUSQLiteDatabase other;
    ASSERT_TRUE(other.open(path));
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE"));

    error = NSError();
    EXPECT_FALSE(store->recordsForQuery("SELECT n FROM t", {}, &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_FALSE(store->tableExists("t", &error));
    EXPECT_FALSE(store->columnsForTable("t", &error));
    ASSERT_TRUE(other.exec("ROLLBACK"));
    EXPECT_EQ(store->recordsForQuery("SELECT n FROM t", {})->size(), 3u);
}

// Each way of damage: the file is kept aside once, the damage is a monitored
// line, and the store opens empty while its error says what happened.
TEST_F(SqliteStoreTest, DamagedFileIsSetAsideLoggedAndMadeAnew) {
    struct Case {
        const char* name;
        std::function<void(std::string&)> damage;
    };
    const std::vector<Case> cases{
        {"cut in half", [](std::string& bytes) { bytes.resize(bytes.size() / 2); }},
        {"zeroed page", [](std::string& bytes) { std::fill_n(bytes.begin() + 4096, 4096, '\0'); }},
        {"bad header", [](std::string& bytes) { std::fill_n(bytes.begin(), 16, 'z'); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store.reset();
        fs::remove(path);
        writeStoreWithRows(path, 100);
        std::string bytes = fileBytes(path);
        ASSERT_GT(bytes.size(), 4u * 4096);
        c.damage(bytes);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        // An older copy is replaced, not added to.
        std::ofstream(path + ".damaged") << "older";
        APMMeasurement::monitor().clearLines();

        error = NSError();
        store = APMSqliteStore::initWithDatabasePath(path, &error, 20);
        ASSERT_TRUE(store);
        EXPECT_EQ(error.code, 3);
        EXPECT_NE(error.localizedDescription().find("Damaged database set aside"),
                  std::string::npos);
        EXPECT_EQ(store->tableExists("t"), false);
        EXPECT_EQ(fileBytes(path + ".damaged"), bytes);
        EXPECT_TRUE(monitorLogged(34023));
    }
}

}  // namespace
