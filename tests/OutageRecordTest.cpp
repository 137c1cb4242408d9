#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ups/OutageRecord.h"

namespace {

using Verdict = OutageRecord::Verdict;

constexpr char BOOT[] = "0b7c1e0e-7d3a-4c57-9a51-5d2f0c3b8e11";
constexpr std::int64_t NOW = 100000;

TEST(OutageRecord, WhatIsWrittenReadsBack) {
    OutageRecord::Data data;
    data.outage = true;
    data.beganMs = 50000;
    data.count = 12;
    data.countMs = 62000;
    data.announced = true;
    data.shutdown = "lowbattery";
    data.commandSent = true;
    data.commandMs = 70000;
    data.delay = 40;
    data.haveCharge = true;
    data.chargeMilli = 56250;
    std::string const text = OutageRecord::format(data, BOOT);
    EXPECT_EQ(text, std::string("boot ") + BOOT +
                        "\noutage 50000\ncount 12 62000\nannounced\nshutdown lowbattery\n"
                        "poweroff 70000 40\ncharge 56250\nend\n");
    OutageRecord::Data back;
    ASSERT_EQ(OutageRecord::parse(text, BOOT, NOW, back), Verdict::Valid);
    EXPECT_TRUE(back == data);
}

TEST(OutageRecord, StaleOrBrokenRecordsAreRefused) {
    std::string const boot = std::string("boot ") + BOOT + "\n";
    struct Row {
        std::string text;
        Verdict verdict;
    };
    std::vector<Row> const rows = {
        {boot + "end\n", Verdict::Valid},
        {boot + "charge 100000\nend\n", Verdict::Valid},
        {boot + "outage 100000\ncount 0 100000\nend\n", Verdict::Valid},
        {"boot 11111111-2222-3333-4444-555555555555\noutage 5\ncount 1 5\nend\n",
         Verdict::OtherBoot},
        {boot + "outage 100001\ncount 1 100001\nend\n", Verdict::Future},
        {boot + "poweroff 200000 30\nend\n", Verdict::Future},
        {boot + "outage 5\ncount 1 5\n", Verdict::Malformed},     // cut before its end
        {boot + "outage 5\ncount 1 5\nend", Verdict::Malformed},  // cut in its last line
        {boot + "outage 5\nend\n", Verdict::Malformed},           // an outage without count
        {boot + "count 1 5\nend\n", Verdict::Malformed},          // a count without outage
        {boot + "announced\nend\n", Verdict::Malformed},
        {boot + "outage -5\ncount 1 5\nend\n", Verdict::Malformed},
        {boot + "outage 5x\ncount 1 5\nend\n", Verdict::Malformed},
        {boot + "outage 5\ncount 1 5\noutage 5\nend\n", Verdict::Malformed},
        {boot + "charge 1\noutage 5\ncount 1 5\nend\n", Verdict::Malformed},  // out of order
        {boot + "shutdown sometime\nend\n", Verdict::Malformed},
        {boot + "poweroff 5 256\nend\n", Verdict::Malformed},
        {boot + "charge 100001\nend\n", Verdict::Malformed},
        {boot + "colour blue\nend\n", Verdict::Malformed},
        {boot + "outage  5\ncount 1 5\nend\n", Verdict::Malformed},
        {boot + "\nend\n", Verdict::Malformed},
        {"end\n", Verdict::Malformed},
        {"", Verdict::Malformed},
        {std::string("boot ") + BOOT + "\0\nend\n", Verdict::Malformed},
    };
    for (Row const& row : rows) {
        OutageRecord::Data data;
        data.count = 77;
        Verdict const verdict = OutageRecord::parse(row.text, BOOT, NOW, data);
        EXPECT_EQ(verdict, row.verdict) << row.text;
        if (verdict != Verdict::Valid) {
            EXPECT_EQ(data.count, 77) << "a refused record must leave the data alone";
        }
    }
}

}  // namespace
