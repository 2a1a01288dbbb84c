#include "services/util/ZVUSQLite.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "services/util/tests/TempHome.h"

namespace {

using Step = ZVUSQLiteStatement::StepResult;

class ZVUSQLiteTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db.open((home.path() / "test.sqlite").string())); }
    TempHome home;
    ZVUSQLiteDatabase db;
};

TEST_F(ZVUSQLiteTest, BindsAndReadsEveryType) {
    ASSERT_TRUE(db.exec("CREATE TABLE t (i INTEGER, d REAL, s TEXT, b BLOB, n INTEGER)"));
    auto insert = db.prepare("INSERT INTO t VALUES (?, ?, ?, ?, ?)");
    ASSERT_TRUE(insert);
    const std::string text("nul\0inside \xF0\x9F\x98\x80", 16);
    const std::vector<uint8_t> blob{0, 1, 2, 255};
    EXPECT_TRUE(insert.bindInt64(1, INT64_MIN));
    EXPECT_TRUE(insert.bindDouble(2, 2.5));
    EXPECT_TRUE(insert.bindText(3, text));
    EXPECT_TRUE(insert.bindBlob(4, blob));
    EXPECT_TRUE(insert.bindOptionalInt64(5, std::nullopt));
    EXPECT_EQ(insert.step(), Step::Done);
    EXPECT_EQ(db.lastInsertRowId(), 1);
    EXPECT_EQ(db.changes(), 1);

    auto select = db.prepare("SELECT i, d, s, b, n FROM t");
    ASSERT_EQ(select.step(), Step::Row);
    EXPECT_EQ(select.columnInt64(0), INT64_MIN);
    EXPECT_EQ(select.columnDouble(1), 2.5);
    EXPECT_EQ(select.columnText(2), text);
    EXPECT_EQ(select.columnBlob(3), blob);
    EXPECT_TRUE(select.columnIsNull(4));
    EXPECT_EQ(select.columnName(2), "s");
    EXPECT_EQ(select.step(), Step::Done);
}

TEST_F(ZVUSQLiteTest, EmptyBlobIsNotNull) {
    ASSERT_TRUE(db.exec("CREATE TABLE t (b BLOB)"));
    auto insert = db.prepare("INSERT INTO t VALUES (?)");
    ASSERT_TRUE(insert.bindBlob(1, std::vector<uint8_t>{}));
    ASSERT_TRUE(insert.execute());
    EXPECT_EQ(db.queryInt64("SELECT COUNT(*) FROM t WHERE b IS NOT NULL"), 1);
}

TEST_F(ZVUSQLiteTest, FailuresAnswerFalseWithErrorText) {
    EXPECT_FALSE(db.prepare("SELECT FROM nowhere"));
    EXPECT_FALSE(db.lastError().empty());
    EXPECT_FALSE(db.exec("INSERT INTO missing VALUES (1)"));
    EXPECT_NE(db.lastError().find("missing"), std::string::npos);
    EXPECT_EQ(db.lastErrorCode(), SQLITE_ERROR);

    ZVUSQLiteDatabase closed;
    EXPECT_FALSE(closed.exec("SELECT 1"));
    EXPECT_FALSE(closed.lastError().empty());
    EXPECT_FALSE(closed.open((home.path() / "no" / "such" / "dir.sqlite").string()));
    EXPECT_FALSE(closed.isOpen());
}

TEST_F(ZVUSQLiteTest, TransactionRollsBackUnlessCommitted) {
    ASSERT_TRUE(db.exec("CREATE TABLE t (x)"));
    {
        ZVUSQLiteTransaction tx(db, ZVUSQLiteDatabase::TransactionKind::Exclusive);
        ASSERT_TRUE(tx.isActive());
        EXPECT_TRUE(db.inTransaction());
        ASSERT_TRUE(db.exec("INSERT INTO t VALUES (1)"));
    }
    EXPECT_FALSE(db.inTransaction());
    EXPECT_EQ(db.queryInt64("SELECT COUNT(*) FROM t"), 0);
    {
        ZVUSQLiteTransaction tx(db);
        ASSERT_TRUE(db.exec("INSERT INTO t VALUES (2)"));
        EXPECT_TRUE(tx.commit());
    }
    EXPECT_EQ(db.queryInt64("SELECT COUNT(*) FROM t"), 1);
}

TEST_F(ZVUSQLiteTest, ExclusiveTransactionLocksOutOtherConnections) {
    ASSERT_TRUE(db.exec("CREATE TABLE t (x)"));
    ZVUSQLiteDatabase other;
    ASSERT_TRUE(other.open(db.path()));
    ZVUSQLiteTransaction tx(db, ZVUSQLiteDatabase::TransactionKind::Exclusive);
    ASSERT_TRUE(tx.isActive());
    EXPECT_FALSE(other.exec("INSERT INTO t VALUES (1)"));
    EXPECT_EQ(other.lastErrorCode(), SQLITE_BUSY);
}

TEST_F(ZVUSQLiteTest, SchemaHelpers) {
    ASSERT_TRUE(db.exec("CREATE TABLE \"odd\"\"name\" (a, \"b c\", d)"));
    EXPECT_TRUE(db.tableExists("odd\"name"));
    EXPECT_FALSE(db.tableExists("odd"));
    EXPECT_EQ(db.columnNames("odd\"name"), (std::vector<std::string>{"a", "b c", "d"}));
    EXPECT_TRUE(db.columnNames("absent").empty());
    EXPECT_EQ(db.userVersion(), 0);
    ASSERT_TRUE(db.setUserVersion(7));
    EXPECT_EQ(db.userVersion(), 7);
}

TEST_F(ZVUSQLiteTest, EscapedLikeMatchesLiterally) {
    ASSERT_TRUE(db.exec("CREATE TABLE t (s TEXT)"));
    for (const char* s : {"a_b", "axb", "a%b", "a\\b", "a_bc"}) {
        auto insert = db.prepare("INSERT INTO t VALUES (?)");
        ASSERT_TRUE(insert.bindText(1, s) && insert.execute());
    }
    struct Case {
        const char* prefix;
        int64_t matches;
    } cases[] = {{"a_", 2}, {"a%", 1}, {"a\\", 1}, {"a", 5}, {"ax", 1}};
    for (const auto& c : cases) {
        auto query = db.prepare("SELECT COUNT(*) FROM t WHERE s LIKE ? ESCAPE '\\'");
        ASSERT_TRUE(query.bindText(1, ZVUSQLiteEscapeLike(c.prefix) + "%"));
        ASSERT_EQ(query.step(), Step::Row);
        EXPECT_EQ(query.columnInt64(0), c.matches) << c.prefix;
    }
}

TEST_F(ZVUSQLiteTest, StatementResetsForReuse) {
    ASSERT_TRUE(db.exec("CREATE TABLE t (x)"));
    auto insert = db.prepare("INSERT INTO t VALUES (?)");
    for (int i = 0; i < 3; ++i) {
        insert.reset();
        ASSERT_TRUE(insert.bindInt64(1, i));
        ASSERT_TRUE(insert.execute());
    }
    EXPECT_EQ(db.queryInt64("SELECT SUM(x) FROM t"), 3);
}

}  // namespace
