// The licence as the Debian package states it, in Debian's machine-readable format.
// (The package's Architecture against the program it holds: packaging/make-debs.)
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

#include "PackagingSupport.h"

namespace {

// Paragraph fields of a copyright file: "Files: *" starts the second paragraph. A
// field's continuation lines start with a blank and are kept with their line ends.
std::map<std::string, std::string> copyrightFields(std::string const& text) {
    std::map<std::string, std::string> fields;
    std::string last;
    int paragraph = 1;
    for (std::string const& line : splitLines(text)) {
        if (line.empty()) {
            ++paragraph;
        } else if (line[0] == ' ') {
            fields[last] += "\n" + line;
        } else {
            last = std::to_string(paragraph) + "." + line.substr(0, line.find(':'));
            std::size_t const value = line.find_first_not_of(' ', line.find(':') + 1);
            fields[last] = value == std::string::npos ? "" : line.substr(value);
        }
    }
    return fields;
}

}  // namespace

TEST(DebianPackage, CopyrightIsMachineReadableExpatWithTheLicenceText) {
    ASSERT_FALSE(installedRoot().empty()) << installError();
    std::string const text = readFile(installedRoot() + "/usr/share/doc/nuvexmon/copyright");
    auto fields = copyrightFields(text);
    EXPECT_EQ(fields["1.Format"],
              "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/");
    EXPECT_EQ(fields["1.Upstream-Name"], "nuvexmon");
    EXPECT_EQ(fields["2.Files"], "*");

    // LICENSE again, as the field's continuation lines: one blank before each line,
    // " ." for an empty one.
    std::string const licence = readFile(NUVEXMON_SOURCE_DIR "/LICENSE");
    std::smatch copyright;
    ASSERT_TRUE(
        std::regex_search(licence, copyright, std::regex("\nCopyright \\(c\\) ([^\n]+)\n")));
    EXPECT_EQ(fields["2.Copyright"], copyright[1].str());
    std::string expected = "Expat";
    for (std::string const& line :
         splitLines(licence.substr(licence.find("Permission is hereby granted")))) {
        expected += "\n " + (line.empty() ? std::string(".") : line);
    }
    while (expected.size() >= 3 && expected.compare(expected.size() - 3, 3, "\n .") == 0) {
        expected.resize(expected.size() - 3);
    }
    EXPECT_EQ(fields["2.License"], expected);
    EXPECT_EQ(text.find("All rights reserved"), std::string::npos);
}
