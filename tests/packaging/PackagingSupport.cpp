#include "PackagingSupport.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>

#include "TempDir.h"

CommandResult runCommand(std::string const& command) {
    std::string const line = "{ " + command + "\n} 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) {
        return {-1, "popen failed"};
    }
    std::string output;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, got);
    }
    int const status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string shellQuote(std::string const& text) {
    std::string quoted = "'";
    for (char const c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

bool haveProgram(std::string const& name) {
    return runCommand("command -v " + shellQuote(name) + " >/dev/null").status == 0;
}

std::string readFile(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> splitLines(std::string const& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::pair<std::string, std::string>> daemonDefaults() {
    std::string const source = readFile(NUVEXMON_SOURCE_DIR "/src/app/App.cpp");
    std::size_t const begin = source.find("void registerFileDefaults()");
    if (begin == std::string::npos) {
        return {};
    }
    std::size_t const end = source.find("\n}", begin);
    std::string const body = source.substr(begin, end - begin);
    std::regex const call(R"re(addDefault\(\s*"([^"\\]*)"\s*,\s*"([^"\\]*)"\s*\))re");
    std::vector<std::pair<std::string, std::string>> defaults;
    for (auto it = std::sregex_iterator(body.begin(), body.end(), call);
         it != std::sregex_iterator(); ++it) {
        defaults.emplace_back((*it)[1].str(), (*it)[2].str());
    }
    return defaults;
}

namespace {

struct Installation {
    std::unique_ptr<TempDir> dir;
    std::string root;
    std::string error;
};

Installation const& installation() {
    static Installation const done = [] {
        Installation result;
        result.dir = std::make_unique<TempDir>();
        std::string const root = result.dir->path() + "/root";
        CommandResult const run =
            runCommand("DESTDIR=" + shellQuote(root) + " " + shellQuote(NUVEXMON_CMAKE_COMMAND) +
                       " --install " + shellQuote(NUVEXMON_BINARY_DIR) + " --prefix /usr");
        if (run.status == 0) {
            result.root = root;
        } else {
            result.error = "cmake --install failed:\n" + run.output;
        }
        return result;
    }();
    return done;
}

}  // namespace

std::string const& installedRoot() {
    return installation().root;
}

std::string const& installError() {
    return installation().error;
}
