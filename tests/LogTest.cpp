#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "TempDir.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "log/Log.h"
#include "log/LogException.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { configure("debug", mDir.path() + "/nuvexmon.log"); }

    static void configure(std::string const& level, std::string const& file) {
        ConfigFile* config = Singleton<ConfigFile>::getInstance();
        config->addDefault("LogLevel", level);
        config->addDefault("LogFile", file);
    }

    std::string contents() const { return mDir.read("nuvexmon.log"); }

    TempDir mDir;
};

// The line a level leaves under the "debug" filter, time stamp stripped.
std::string const STAMP = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )";

TEST_F(LogTest, FilterTable) {
    struct Row {
        char const* setting;
        std::vector<int> written;
        std::vector<int> dropped;
    };
    std::vector<Row> const rows = {
        {"debug", {-3, 0, 1, 2, 3, 4}, {5, 9}},
        {"error", {-3, 0, 1, 2, 3}, {4, 5}},
        {"info", {-3, 0, 1, 2}, {3, 4, 5}},
        {"Debug", {-3, 0, 1, 2, 3, 4, 5, 9}, {}},
        {"warning", {1, 3, 4, 5}, {}},
        {"info ", {1, 3, 4, 5}, {}},
        {"", {1, 3, 4, 5}, {}},
    };
    for (Row const& row : rows) {
        std::string const file = mDir.path() + "/filter.log";
        ::unlink(file.c_str());
        configure(row.setting, file);
        for (int level : row.written) {
            Log::getInstance()->write("x", static_cast<Log::LogLevel>(level));
        }
        for (int level : row.dropped) {
            Log::getInstance()->write("x", static_cast<Log::LogLevel>(level));
        }
        std::string const text = mDir.read("filter.log");
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(row.written.size()))
            << "LogLevel '" << row.setting << "'";
    }
}

TEST_F(LogTest, LineShapeAndLabels) {
    Log* log = Log::getInstance();
    log->write("Button pressed!", Log::NOTICE);
    log->write("stoi", Log::ERROR);
    log->write("Current Status: 1", Log::DEBUG);
    log->write("level two", Log::WARNING);
    log->write("level zero", static_cast<Log::LogLevel>(0));
    log->write("", Log::NOTICE);
    log->write("first\nsecond", Log::DEBUG);
    std::regex const expected(STAMP + R"(\[NOTICE\] Button pressed!\n)" +   //
                              STAMP + R"(\[ERROR\] stoi\n)" +               //
                              STAMP + R"(\[DEBUG\] Current Status: 1\n)" +  //
                              STAMP + R"(\[WARNING\] level two\n)" +        //
                              STAMP + R"(\[UNKNOWN\] level zero\n)" +       //
                              STAMP + R"(\[NOTICE\] \n)" +                  //
                              STAMP + R"(\[DEBUG\] first\nsecond\n)");
    EXPECT_TRUE(std::regex_match(contents(), expected)) << contents();
}

TEST_F(LogTest, AppendsToExistingFileAndCreatesMissingOne) {
    mDir.write("nuvexmon.log", "old line\n");
    Log::getInstance()->write("new", Log::NOTICE);
    std::string const text = contents();
    EXPECT_EQ(text.rfind("old line\n", 0), 0u);
    EXPECT_NE(text.find("[NOTICE] new\n"), std::string::npos);

    // A rotated-away log is created anew by the next line.
    std::string const log = mDir.path() + "/nuvexmon.log";
    ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
    Log::getInstance()->write("after rotation", Log::NOTICE);
    EXPECT_TRUE(std::regex_match(contents(), std::regex(STAMP + R"(\[NOTICE\] after rotation\n)")));
}

TEST_F(LogTest, MissingDirectoryThrowsOnlyForWrittenLines) {
    configure("error", mDir.path() + "/missing/nuvexmon.log");
    try {
        Log::getInstance()->write("lost", Log::ERROR);
        FAIL() << "no exception";
    } catch (LogException const& e) {
        EXPECT_STREQ(e.what(), "could not open log file!");
    }
    // Filtered lines never touch the file.
    EXPECT_NO_THROW(Log::getInstance()->write("filtered", Log::DEBUG));
}

TEST_F(LogTest, WriteErrorsAfterOpenAreIgnored) {
    configure("debug", "/dev/full");
    EXPECT_NO_THROW(Log::getInstance()->write("nowhere", Log::NOTICE));
}

// Once the daemon runs, a line whose file cannot be opened goes to standard error with
// its time stamp and label, and the file is used again as soon as it can be opened.
TEST_F(LogTest, FallbackToStandardErrorOnceRunning) {
    std::string const missing = mDir.path() + "/missing";
    configure("debug", missing + "/nuvexmon.log");
    Log* log = Log::getInstance();
    EXPECT_THROW(log->write("at the start", Log::NOTICE), LogException);

    std::string const captured = mDir.path() + "/stderr.txt";
    int const saved = ::dup(STDERR_FILENO);
    int const file = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    ::dup2(file, STDERR_FILENO);
    log->fallBackToStandardError();
    EXPECT_NO_THROW(log->write("Shutdown timer: 3 / 10", Log::NOTICE));
    EXPECT_NO_THROW(log->write("could not read from i2c bus!", Log::DEBUG));
    ::mkdir(missing.c_str(), 0700);
    log->write("back in the file", Log::NOTICE);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(file);

    EXPECT_TRUE(std::regex_match(mDir.read("stderr.txt"),
                                 std::regex(STAMP + R"(\[NOTICE\] Shutdown timer: 3 / 10\n)" +
                                            STAMP + R"(\[DEBUG\] could not read from i2c bus!\n)")))
        << mDir.read("stderr.txt");
    EXPECT_TRUE(std::regex_match(mDir.read("missing/nuvexmon.log"),
                                 std::regex(STAMP + R"(\[NOTICE\] back in the file\n)")));
}

// The board runs for years: the time stamp must be right past January 2038, which a
// 32-bit time_t cannot reach.
TEST(LogTime, DatesAfter2038) {
    static_assert(sizeof(std::time_t) == 8, "time_t must be 64 bits wide on every target");
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    struct Row {
        std::time_t when;
        char const* text;
    };
    std::vector<Row> const rows = {
        {2147483647, "2038-01-19 03:14:07"},
        {2147483648, "2038-01-19 03:14:08"},
        {4102444800, "2100-01-01 00:00:00"},
        {4294967296, "2106-02-07 06:28:16"},
    };
    for (Row const& row : rows) {
        EXPECT_EQ(Log::dateTime(row.when), row.text) << row.when;
    }
}

TEST(LogTime, CurrentDateTimeIsNineteenCharacters) {
    std::string const now = Log::currentDateTime();
    EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})"))) << now;
}

}  // namespace
