// nuvexmon_config_parse_time: loads 10 MB configuration files of several shapes with the
// daemon's parser and prints the time each takes (best of three). Exit status 1 when a
// load takes a second or more. Run by fuzz/run; figures in docs/reliability.md.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "config/ConfigFile.h"

namespace {

constexpr std::size_t SIZE = 10 * 1024 * 1024;
constexpr int REPEATS = 3;
constexpr double LIMIT_MS = 1000;

struct Shape {
    char const* name;
    std::string text;
};

std::string repeatUpTo(std::string const& head, std::string const& unit) {
    std::string text = head;
    text.reserve(SIZE + unit.size());
    while (text.size() + unit.size() <= SIZE) {
        text += unit;
    }
    return text;
}

std::vector<Shape> shapes() {
    std::vector<Shape> result;
    std::string entries;
    entries.reserve(SIZE + 64);
    for (unsigned i = 0; entries.size() < SIZE - 64; ++i) {
        entries += "Key" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
    }
    result.push_back({"distinct keys, one per line", entries});
    result.push_back({"one key written over and over", repeatUpTo("", "ShutdownTimer=10\n")});
    result.push_back({"one 10 MB value", repeatUpTo("StatusChangedCmd=", "x") + "\n"});
    result.push_back({"an open quote over 10 MB of lines",
                      repeatUpTo("ShutdownCmd=\"", "echo line of a hook\n")});
    result.push_back({"escapes inside quotes", repeatUpTo("LogFile=\"", "\\\"\\\\") + "\"\n"});
    result.push_back({"blank lines", repeatUpTo("", "\n")});
    result.push_back({"CR LF line ends", repeatUpTo("", "LogLevel=info\r\n")});
    return result;
}

}  // namespace

int main() {
    char const* base = std::getenv("TMPDIR");
    std::string const path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                             "/nuvexmon-parse-time-" + std::to_string(::getpid());
    bool ok = true;
    std::printf("%-36s %10s %10s %10s\n", "10 MB file", "bytes", "best ms", "MB/s");
    for (Shape const& shape : shapes()) {
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << shape.text;
        }
        double best = 0;
        for (int i = 0; i < REPEATS; ++i) {
            auto const start = std::chrono::steady_clock::now();
            ConfigFile config;
            config.load(path);
            double const ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            best = i == 0 ? ms : std::min(best, ms);
        }
        std::printf("%-36s %10zu %10.1f %10.1f\n", shape.name, shape.text.size(), best,
                    static_cast<double>(shape.text.size()) / (1024.0 * 1024.0) / (best / 1000.0));
        ok = ok && best < LIMIT_MS;
    }
    std::remove(path.c_str());
    std::printf("%s\n", ok ? "every load took less than a second" : "A LOAD TOOK A SECOND OR MORE");
    return ok ? 0 : 1;
}
