#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "TempDir.h"
#include "Trace.h"
#include "TraceWriter.h"

namespace {

TEST(Trace, WritesLinesThatReadBack) {
    TempDir dir;
    std::string const path = dir.path() + "/trace.txt";
    std::vector<Transfer> const written = {
        {0.0004, 0, true, 0x10, true},
        {1.2344, 7, false, 0xff, false},
        {65.5, 123456, false, 0x0a, true},
    };
    {
        TraceWriter writer(path);
        writer.comment("header");
        for (Transfer const& transfer : written) {
            writer.write(transfer);
        }
    }
    EXPECT_EQ(dir.read("trace.txt"),
              "# header\n0.000 0 W 0x10 ok\n1.234 7 R 0xff failed\n65.500 123456 R 0x0a ok\n");
    std::vector<Transfer> const read = readTrace(path);
    ASSERT_EQ(read.size(), 3U);
    for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(Trace::describe(read[i]), Trace::describe(written[i]));
        EXPECT_NEAR(read[i].seconds, written[i].seconds, 0.001);
    }
    EXPECT_TRUE(readTrace(dir.path() + "/missing").empty());
}

TEST(Trace, RejectsMalformedLinesWithTheirNumber) {
    for (char const* line :
         {"0.1 1 W 0x00", "0.1 1 X 0x00 ok", "0.1 1 W 0x0 ok", "0.1 1 W 0xzz ok",
          "0.1 -1 W 0x00 ok", "x 1 W 0x00 ok", "0.1 1 W 0x00 maybe", "0.1 1 W 0x00 ok extra"}) {
        TempDir dir;
        dir.write("trace.txt", "0.0 1 W 0x00 ok\n" + std::string(line) + "\n");
        try {
            readTrace(dir.path() + "/trace.txt");
            ADD_FAILURE() << "accepted: " << line;
        } catch (std::runtime_error const& error) {
            EXPECT_EQ(std::string(error.what()),
                      dir.path() + "/trace.txt:2: malformed trace line '" + line + "'");
        }
    }
}

TEST(Trace, IgnoresALastLineStillBeingWritten) {
    TempDir dir;
    dir.write("trace.txt", "0.0 1 W 0x00 ok\n0.184 8 R 0");
    std::vector<Transfer> const read = readTrace(dir.path() + "/trace.txt");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].byte, 0x00);
}

TEST(Trace, FindsPowerOffRequestsByTheBoardsRules) {
    auto const w = [](std::uint8_t byte, bool ok = true) { return Transfer{0, 0, true, byte, ok}; };
    Transfer const read{0, 0, false, 0xff, true};
    EXPECT_EQ(Trace::powerOffRequests({w(0x10), w(30)}), (std::vector<std::uint8_t>{30}));
    // The delay may be 0x10 itself; a read in between does not matter.
    EXPECT_EQ(Trace::powerOffRequests({w(0x10), read, w(0x10), w(0x10), w(0), w(0)}),
              (std::vector<std::uint8_t>{0x10, 0}));
    // A failed delay drops the command; a failed command never starts.
    EXPECT_EQ(Trace::powerOffRequests({w(0x10), w(30, false), w(0x10, false), w(30)}),
              (std::vector<std::uint8_t>{}));
    EXPECT_EQ(Trace::powerOffRequests({w(0x10)}), (std::vector<std::uint8_t>{}));
}

}  // namespace
