#include "services/crash/RZRCTRFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/foundation/FileSystem.h"
#include "services/crash/RZRCTRFileReader.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

using crashtest::readFile;
using crashtest::writeFile;

// What the write hook does with each call.
struct WriteScript {
    std::vector<std::size_t> sizes;  // every call's request
    int interruptFirst = 0;          // this many calls fail with EINTR first
    std::size_t maxPerCall = 0;      // 0: everything
    int failCall = -1;               // this call (counting from 0) fails with ENOSPC
    int calls = 0;
    ssize_t answer = -2;  // a fixed answer instead of writing, when >= -1
};
WriteScript gScript;

ssize_t scriptedWrite(int fd, const void* bytes, std::size_t length) {
    gScript.sizes.push_back(length);
    const int call = gScript.calls++;
    if (gScript.interruptFirst > 0) {
        --gScript.interruptFirst;
        errno = EINTR;
        return -1;
    }
    if (call == gScript.failCall) {
        errno = ENOSPC;
        return -1;
    }
    if (gScript.answer >= -1) return gScript.answer;
    if (gScript.maxPerCall && length > gScript.maxPerCall) length = gScript.maxPerCall;
    return ::write(fd, bytes, length);
}

class RecordFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("ctrfile-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "test.ctrrecord").string();
        gScript = WriteScript{};
    }
    void TearDown() override {
        RZRCTRFileSetWriteFunction(nullptr);
        std::filesystem::remove_all(dir_);
    }
    // Writes through a fresh writer and answers the file's bytes.
    std::string record(const std::function<void(RZRCTRFile*)>& body, bool buffered = false) {
        std::filesystem::remove(path_);
        RZRCTRFile file;
        EXPECT_TRUE(RZRCTRFileInitWithPath(&file, path_.c_str(), buffered));
        body(&file);
        EXPECT_TRUE(RZRCTRFileClose(&file));
        return readFile(path_);
    }
    std::filesystem::path dir_;
    std::string path_;
};

void section(RZRCTRFile* file, const char* name, const std::function<void()>& entries) {
    RZRCTRFileOpenSection(file, name);
    RZRCTRFileOpenHash(file);
    entries();
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
}

struct LineCase {
    const char* name;
    std::function<void(RZRCTRFile*)> body;
    const char* expected;
};

TEST_F(RecordFileTest, WritesByteExactLines) {
    const std::vector<LineCase> cases = {
        {"storage",
         [](RZRCTRFile* f) {
             section(f, "storage", [f] {
                 RZRCTRFileWriteUInt64Entry(f, "free", 1024);
                 RZRCTRFileWriteUInt64Entry(f, "total", 4096);
             });
         },
         "{\"storage\":{\"free\":1024,\"total\":4096}}\n"},
        {"empty hash", [](RZRCTRFile* f) { section(f, "storage", [] {}); }, "{\"storage\":{}}\n"},
        {"empty array",
         [](RZRCTRFile* f) {
             RZRCTRFileOpenSection(f, "threads");
             RZRCTRFileOpenArray(f);
             RZRCTRFileCloseArray(f);
             RZRCTRFileCloseSection(f);
         },
         "{\"threads\":[]}\n"},
        {"nulls",
         [](RZRCTRFile* f) {
             section(f, "kv", [f] {
                 RZRCTRFileWriteHexStringEntry(f, "key", nullptr);
                 RZRCTRFileWriteStringEntry(f, "value", nullptr);
             });
         },
         "{\"kv\":{\"key\":null,\"value\":null}}\n"},
        {"hex and bool",
         [](RZRCTRFile* f) {
             section(f, "kv", [f] {
                 RZRCTRFileWriteHexStringEntry(f, "key", "ab\"");
                 RZRCTRFileWriteBoolEntry(f, "on", true);
                 RZRCTRFileWriteBoolEntry(f, "off", false);
             });
         },
         "{\"kv\":{\"key\":\"616222\",\"on\":true,\"off\":false}}\n"},
        {"numbers",
         [](RZRCTRFile* f) {
             section(f, "n", [f] {
                 RZRCTRFileWriteUInt64Entry(f, "zero", 0);
                 RZRCTRFileWriteUInt64Entry(f, "max", std::numeric_limits<std::uint64_t>::max());
                 RZRCTRFileWriteInt64Entry(f, "min", std::numeric_limits<std::int64_t>::min());
                 RZRCTRFileWriteInt64Entry(f, "minus", -1);
                 RZRCTRFileWriteInt64Entry(f, "plus", 42);
             });
         },
         "{\"n\":{\"zero\":0,\"max\":18446744073709551615,\"min\":-9223372036854775808,"
         "\"minus\":-1,\"plus\":42}}\n"},
        {"array of hashes and values",
         [](RZRCTRFile* f) {
             RZRCTRFileOpenSection(f, "threads");
             RZRCTRFileOpenArray(f);
             RZRCTRFileOpenHash(f);
             RZRCTRFileWriteBoolEntry(f, "crashed", true);
             RZRCTRFileWriteKey(f, "stacktrace");
             RZRCTRFileOpenArray(f);
             RZRCTRFileAppendUInt64(f, 1);
             RZRCTRFileAppendString(f, "a");
             RZRCTRFileAppendString(f, nullptr);
             RZRCTRFileAppendHexString(f, "hi");
             RZRCTRFileCloseArray(f);
             RZRCTRFileCloseHash(f);
             RZRCTRFileOpenHash(f);
             RZRCTRFileCloseHash(f);
             RZRCTRFileCloseArray(f);
             RZRCTRFileCloseSection(f);
         },
         "{\"threads\":[{\"crashed\":true,\"stacktrace\":[1,\"a\",null,\"6869\"]},{}]}\n"},
        {"string objects",
         [](RZRCTRFile* f) {
             section(f, "load", [f] {
                 RZRCTRFileWriteNSStringEntry(f, "path", "/Applications/A \"B\".app");
                 RZRCTRFileWriteNonEmptyNSStringEntry(f, "bundle_id", "");
                 RZRCTRFileWriteNonEmptyNSStringEntry(f, "build_version", "12");
                 RZRCTRFileWriteNSStringEntry(f, "uuid", "");
             });
         },
         "{\"load\":{\"path\":\"/Applications/A \\\"B\\\".app\",\"build_version\":\"12\","
         "\"uuid\":\"\"}}\n"},
        {"two sections",
         [](RZRCTRFile* f) {
             section(f, "a", [f] { RZRCTRFileWriteUInt64Entry(f, "x", 1); });
             section(f, "b", [f] { RZRCTRFileWriteStringEntry(f, "y", "z"); });
         },
         "{\"a\":{\"x\":1}}\n{\"b\":{\"y\":\"z\"}}\n"},
    };
    for (const bool buffered : {false, true}) {
        for (const auto& c : cases) {
            EXPECT_EQ(record(c.body, buffered), c.expected) << c.name << " buffered " << buffered;
        }
    }
}

TEST_F(RecordFileTest, EveryStringIsEscapedIntoValidJSON) {
    struct Case {
        std::string input;
        std::string escaped;
    };
    const std::vector<Case> cases = {
        {"say \"hi\"", "say \\\"hi\\\""},
        {"back\\slash", "back\\\\slash"},
        {"line\nnext\ttab\rret\bbs\fff", "line\\nnext\\ttab\\rret\\bbs\\fff"},
        {std::string("\x01\x1f\x7f", 3), "\\u0001\\u001f\x7f"},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xf0\x9f\x98\x80"},
        {"\xff", "\\ufffd"},
        {"cut \xc3", "cut \\ufffd"},
        {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},
        {"\xc0\xaf", "\\ufffd\\ufffd"},
        {"\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
        {std::string("nul\0byte", 8), "nul\\u0000byte"},
    };
    for (const auto& c : cases) {
        const auto line = record([&](RZRCTRFile* f) {
            section(f, "thread_names", [&] {
                RZRCTRFileWriteStringEntryWithLength(f, "k", c.input.data(), c.input.size());
            });
        });
        const std::string quoted = "\"" + c.escaped + "\"";
        EXPECT_EQ(line, "{\"thread_names\":{\"k\":" + quoted + "}}\n") << c.escaped;
        const auto parsed = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << line;
    }
    EXPECT_EQ(record([](RZRCTRFile* f) {
                  section(f, "s", [f] { RZRCTRFileWriteBoolEntry(f, "a\"b\n", true); });
              }),
              "{\"s\":{\"a\\\"b\\n\":true}}\n");
    // A valid string comes back unchanged.
    const std::string text = "quote\" back\\ tab\t caf\xc3\xa9 \x02";
    const auto line = record([&](RZRCTRFile* f) {
        RZRCTRFileOpenSection(f, "dispatch_queue_names");
        RZRCTRFileOpenArray(f);
        RZRCTRFileAppendString(f, text.c_str());
        RZRCTRFileCloseArray(f);
        RZRCTRFileCloseSection(f);
    });
    EXPECT_EQ(nlohmann::json::parse(line)["dispatch_queue_names"][0], text);
}

TEST_F(RecordFileTest, ShortAndLongStringsWriteTheSameBytes) {
    for (const std::size_t length : {11u, 12u, 13u, 14u, 61u, 62u, 63u, 64u, 200u}) {
        const std::string key(length, 'k');
        const std::string value(length, 'v');
        for (const bool buffered : {false, true}) {
            const auto line = record(
                [&](RZRCTRFile* f) {
                    section(f, "s",
                            [&] { RZRCTRFileWriteStringEntry(f, key.c_str(), value.c_str()); });
                },
                buffered);
            EXPECT_EQ(line, "{\"s\":{\"" + key + "\":\"" + value + "\"}}\n") << length;
        }
    }
}

TEST_F(RecordFileTest, BufferedWritesFlushAt999Bytes) {
    RZRCTRFileSetWriteFunction(scriptedWrite);
    RZRCTRFile file;
    ASSERT_TRUE(RZRCTRFileInitWithPath(&file, path_.c_str(), true));
    // A quoted array element of 2,500 bytes into an empty buffer.
    const std::string text(2498, 'x');
    RZRCTRFileAppendString(&file, text.c_str());
    EXPECT_EQ(gScript.sizes, (std::vector<std::size_t>{999, 999}));
    EXPECT_EQ(file.writeBufferLength, 502u);
    EXPECT_EQ(file.writeBuffer[file.writeBufferLength], '\0');
    std::int64_t size = 0;
    ASSERT_TRUE(RZRCTRFileCloseWithOffset(&file, &size));
    EXPECT_EQ(gScript.sizes, (std::vector<std::size_t>{999, 999, 502}));
    EXPECT_EQ(size, 2500);
    EXPECT_EQ(readFile(path_), "\"" + text + "\"");
    EXPECT_EQ(file.fd, -1);
}

TEST_F(RecordFileTest, AppendModeCountsTheBytesAlreadyThere) {
    for (const bool buffered : {false, true}) {
        writeFile(path_, std::string(200, 'o'));
        RZRCTRFile file;
        ASSERT_TRUE(RZRCTRFileInitWithPath(&file, path_.c_str(), buffered));
        RZRCTRFileAppendString(&file, "12345678");
        std::int64_t size = 0;
        ASSERT_TRUE(RZRCTRFileCloseWithOffset(&file, &size));
        EXPECT_EQ(size, 210);
        EXPECT_EQ(std::filesystem::file_size(path_), 210u);

        ASSERT_TRUE(RZRCTRFileInitWithPathMode(&file, path_.c_str(), false, buffered));
        RZRCTRFileAppendString(&file, "x");
        ASSERT_TRUE(RZRCTRFileCloseWithOffset(&file, &size));
        EXPECT_EQ(size, 3);
        EXPECT_EQ(readFile(path_), "\"x\"");
    }
}

TEST_F(RecordFileTest, InterruptedAndPartialWritesAreCompleted) {
    RZRCTRFileSetWriteFunction(scriptedWrite);
    const std::string expected = "{\"signal\":{\"name\":\"SIGSEGV\",\"errno\":0}}\n";
    const auto body = [](RZRCTRFile* f) {
        section(f, "signal", [f] {
            RZRCTRFileWriteStringEntry(f, "name", "SIGSEGV");
            RZRCTRFileWriteUInt64Entry(f, "errno", 0);
        });
    };
    gScript.interruptFirst = 3;
    EXPECT_EQ(record(body), expected);
    gScript = WriteScript{};
    gScript.maxPerCall = 3;
    EXPECT_EQ(record(body), expected);
    gScript = WriteScript{};
    gScript.interruptFirst = 2;
    EXPECT_EQ(record(body, true), expected);
}

TEST_F(RecordFileTest, TheWriteLoopFailsOnNothingWrittenTooMuchOrTooManyCalls) {
    RZRCTRFileSetWriteFunction(scriptedWrite);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string bytes(60, 'b');
    gScript.maxPerCall = 1;
    EXPECT_TRUE(RZRCTRFileWriteWithRetries(fd, bytes.data(), 50));
    gScript = WriteScript{};
    gScript.maxPerCall = 1;
    EXPECT_FALSE(RZRCTRFileWriteWithRetries(fd, bytes.data(), 51));
    for (const ssize_t answer : {ssize_t{0}, ssize_t{-1}, ssize_t{61}}) {
        gScript = WriteScript{};
        gScript.answer = answer;
        EXPECT_FALSE(RZRCTRFileWriteWithRetries(fd, bytes.data(), 60)) << answer;
    }
    ::close(fd);
}

TEST_F(RecordFileTest, ALineWithLostBytesNeverRunsIntoTheNext) {
    RZRCTRFileSetWriteFunction(scriptedWrite);
    for (int failing = 0; failing < 10; ++failing) {  // each write of the first line
        gScript = WriteScript{};
        gScript.failCall = failing;
        const auto text = record([](RZRCTRFile* f) {
            section(f, "log", [f] {
                RZRCTRFileWriteHexStringEntry(f, "msg", "first");
                RZRCTRFileWriteUInt64Entry(f, "time", 1);
            });
            section(f, "log", [f] {
                RZRCTRFileWriteHexStringEntry(f, "msg", "second");
                RZRCTRFileWriteUInt64Entry(f, "time", 2);
            });
        });
        auto sections = RZRCTRFileReadSections(path_.c_str(), false);
        ASSERT_TRUE(sections) << failing;
        ASSERT_FALSE(sections->empty()) << text;
        EXPECT_EQ(sections->back()["log"]["time"].asUInt(), 2u) << failing << ": " << text;
    }
}

TEST_F(RecordFileTest, OpeningAndClosingReportFailures) {
    RZRCTRFile file;
    EXPECT_FALSE(RZRCTRFileInitWithPath(nullptr, path_.c_str(), false));
    EXPECT_FALSE(RZRCTRFileInitWithPath(&file, nullptr, false));
    EXPECT_FALSE(RZRCTRFileInitWithPath(&file, (dir_ / "missing" / "x").c_str(), false));
    EXPECT_FALSE(RZRCTRFileIsOpen(&file));
    ASSERT_TRUE(RZRCTRFileInitWithPath(&file, path_.c_str(), false));
    EXPECT_TRUE(RZRCTRFileIsOpen(&file));
    EXPECT_TRUE(RZRCTRFileClose(&file));
    EXPECT_FALSE(RZRCTRFileIsOpen(&file));
}

TEST_F(RecordFileTest, RawDescriptorWritersFormatNumbers) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    RZRCTRFileWriteUInt64ToFD(fd, 0, false);
    RZRCTRFileWriteWithRetries(fd, " ", 1);
    RZRCTRFileWriteUInt64ToFD(fd, 0xdeadbeef, true);
    RZRCTRFileWriteWithRetries(fd, " ", 1);
    RZRCTRFileWriteInt64ToFD(fd, -1234);
    RZRCTRFileWriteWithRetries(fd, " ", 1);
    RZRCTRFileWriteInt64ToFD(fd, std::numeric_limits<std::int64_t>::min());
    ::close(fd);
    EXPECT_EQ(readFile(path_), "0 deadbeef -1234 -9223372036854775808");
}

TEST_F(RecordFileTest, ReaderSkipsLinesThatDoNotParse) {
    writeFile(path_,
              "{\"a\":{\"x\":1}}\nnot json\n{\"b\":[1,2]}\n{\"torn\":\"\xc3\"}\n{\"c\":{}}\n");
    auto sections = RZRCTRFileReadSections(path_.c_str(), false);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 3u);
    EXPECT_EQ((*sections)[0]["a"]["x"].asUInt(), 1u);
    EXPECT_EQ((*(*sections)[1]["b"].asArray())[1].asUInt(), 2u);
    EXPECT_TRUE((*sections)[2]["c"].isDictionary());

    auto mapped =
        RZRCTRFileReadSections(path_.c_str(), false, [](const Value& line) -> std::optional<Value> {
            if (line["b"].isNull()) return std::nullopt;
            return line["b"];
        });
    ASSERT_TRUE(mapped);
    ASSERT_EQ(mapped->size(), 1u);
    EXPECT_EQ((*(*mapped)[0].asArray())[0].asUInt(), 1u);
}

TEST_F(RecordFileTest, AnUnreadableFileGivesNothingAndIsDeletedWhenAsked) {
    EXPECT_FALSE(RZRCTRFileReadSections(nullptr, true));
    EXPECT_FALSE(RZRCTRFileReadSections((dir_ / "missing").c_str(), true));
    for (const bool remove : {false, true}) {
        writeFile(path_, "{\"a\":{}}\n");
        sim::FileSystem::failNextRead(EIO);
        EXPECT_FALSE(RZRCTRFileReadSections(path_.c_str(), remove));
        EXPECT_EQ(std::filesystem::exists(path_), !remove);
    }
}

TEST(RecordFileHex, DecodesPairsUpToTheFirstThatIsNotHex) {
    struct Case {
        const char* hex;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {"4a6b", "Jk"}, {"4a6z", "J"},        {"4A6B", "Jk"},       {"4a6", "J"},
        {"", ""},       {"c3a9", "\xc3\xa9"}, {"ff", std::nullopt}, {"c3", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(RZRCTRFileHexDecodeString(c.hex), c.text) << c.hex;
    EXPECT_EQ(RZRCTRFileHexEncodeString("Jk\"\n"), "4a6b220a");
    EXPECT_EQ(RZRCTRNSDataToNSString(Data{0x00, 0xab, 0xff}), "00abff");
    EXPECT_FALSE(RZRCTRFileHexDecodeString(nullptr));
}

}  // namespace
