// What the Debian package says about itself: the architecture it claims against the
// program it holds, the maintainer, and the licence in Debian's machine-readable format.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <utility>

#include "PackagingSupport.h"

namespace {

// CPack's settings as this build wrote them: set(NAME "value") lines.
std::string cpackSetting(std::string const& name) {
    std::string const text = readFile(NUVEXMON_BINARY_DIR "/CPackConfig.cmake");
    std::smatch match;
    std::regex const line("\nset\\(" + name + " \"([^\"]*)\"\\)");
    return std::regex_search(text, match, line) ? match[1].str() : std::string();
}

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

struct ElfIdentity {
    int bits;
    std::uint16_t machine;
};

// The class and machine that a program of each Debian architecture has.
std::map<std::string, ElfIdentity> const ELF_OF_ARCHITECTURE = {
    {"amd64", {64, 62}},   // EM_X86_64
    {"i386", {32, 3}},     // EM_386
    {"armhf", {32, 40}},   // EM_ARM
    {"arm64", {64, 183}},  // EM_AARCH64
};

}  // namespace

// apt refuses a package whose Architecture is not the system's: a field that lies
// gets a program installed that cannot run, and the service fails at every boot.
TEST(DebianPackage, ArchitectureIsThatOfTheProgramItHolds) {
    std::string const arch = cpackSetting("CPACK_DEBIAN_PACKAGE_ARCHITECTURE");
    auto const expected = ELF_OF_ARCHITECTURE.find(arch);
    ASSERT_NE(expected, ELF_OF_ARCHITECTURE.end()) << "architecture \"" << arch << "\"";

    std::ifstream program(NUVEXMON_PROGRAM, std::ios::binary);
    unsigned char header[20] = {};
    ASSERT_TRUE(program.read(reinterpret_cast<char*>(header), sizeof(header))) << NUVEXMON_PROGRAM;
    ASSERT_EQ(std::string(reinterpret_cast<char*>(header), 4),
              "\x7f"
              "ELF");
    constexpr int CLASS = 4;
    constexpr int DATA = 5;
    constexpr int MACHINE = 18;
    constexpr unsigned char ELFCLASS32 = 1;
    constexpr unsigned char ELFDATA2LSB = 1;
    EXPECT_EQ(header[CLASS] == ELFCLASS32 ? 32 : 64, expected->second.bits) << arch;
    // Every architecture named above is little-endian.
    ASSERT_EQ(header[DATA], ELFDATA2LSB);
    auto const machine = static_cast<std::uint16_t>(header[MACHINE] | header[MACHINE + 1] << 8);
    EXPECT_EQ(machine, expected->second.machine) << arch;
}

TEST(DebianPackage, MaintainerIsARealAddressAndTheSameEverywhere) {
    std::string const maintainer = cpackSetting("CPACK_PACKAGE_CONTACT");
    // "Name <user@host.domain>": lintian takes a host without a dot for bogus.
    EXPECT_TRUE(std::regex_match(maintainer,
                                 std::regex(R"([^<>@]*[^ <>@] <[^<>@ ]+@[^<>@ ]+\.[^<>@ .]+>)")))
        << maintainer;
    for (char const* placeholder : {"noreply", ".example>", "@localhost>", "changeme"}) {
        EXPECT_EQ(maintainer.find(placeholder), std::string::npos) << maintainer;
    }
    ASSERT_FALSE(installedRoot().empty()) << installError();
    auto fields = copyrightFields(readFile(installedRoot() + "/usr/share/doc/nuvexmon/copyright"));
    EXPECT_EQ(fields["1.Upstream-Contact"], maintainer);
    CommandResult const changelog = runCommand(
        "gzip -dc " + shellQuote(installedRoot() + "/usr/share/doc/nuvexmon/changelog.Debian.gz"));
    EXPECT_NE(changelog.output.find("\n -- " + maintainer + "  "), std::string::npos)
        << changelog.output;
}

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
