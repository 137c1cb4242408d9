#include "ProcessProbe.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

std::size_t kibibytes(std::string const& line) {
    // "VmRSS:\t    3012 kB"
    std::size_t const colon = line.find(':');
    return static_cast<std::size_t>(std::strtoull(line.c_str() + colon + 1, nullptr, 10));
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

ProcessProbe::ProcessProbe(pid_t pid) : mDir("/proc/" + std::to_string(pid)) {}

ProcessProbe::Sample ProcessProbe::sample() const {
    Sample result;
    std::ifstream status(mDir + "/status");
    bool rss = false;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            result.rssKiB = kibibytes(line);
            rss = true;
        } else if (line.rfind("VmHWM:", 0) == 0) {
            result.hwmKiB = kibibytes(line);
        }
    }
    std::unique_ptr<DIR, DirCloser> const fds(::opendir((mDir + "/fd").c_str()));
    if (!rss || !fds) {
        return result;
    }
    while (dirent const* entry = ::readdir(fds.get())) {
        if (entry->d_name[0] != '.') {
            ++result.fds;
        }
    }
    result.ok = true;
    return result;
}

std::string ProcessProbe::descriptors() const {
    std::ostringstream text;
    std::unique_ptr<DIR, DirCloser> const fds(::opendir((mDir + "/fd").c_str()));
    if (!fds) {
        return "";
    }
    while (dirent const* entry = ::readdir(fds.get())) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string const link = mDir + "/fd/" + entry->d_name;
        char target[4096];
        ssize_t const size = ::readlink(link.c_str(), target, sizeof(target) - 1);
        text << entry->d_name << " -> "
             << (size > 0 ? std::string(target, static_cast<std::size_t>(size)) : "?") << "\n";
    }
    return text.str();
}
