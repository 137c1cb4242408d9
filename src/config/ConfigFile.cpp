#include "config/ConfigFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "config/Paths.h"

namespace {

constexpr char CARRIAGE_RETURN = '\r';
constexpr char LINE_FEED = '\n';
constexpr char SEPARATOR = '=';
constexpr char QUOTE = '"';
constexpr char BACKSLASH = '\\';
constexpr std::size_t READ_CHUNK = 64 * 1024;
constexpr std::string_view DROP_IN_SUFFIX = ".conf";

enum class ParseState { Key, Value, Quoted };

// Closes the descriptor on every way out, a failed allocation while parsing included.
class ReadDescriptor {
public:
    explicit ReadDescriptor(int fd) : mFd(fd) {}
    ~ReadDescriptor() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    ReadDescriptor(ReadDescriptor const&) = delete;
    ReadDescriptor& operator=(ReadDescriptor const&) = delete;
    int get() const { return mFd; }

private:
    int mFd;
};

}  // namespace

void ConfigFile::load(std::string const& path) {
    std::string const file = path.empty() ? std::string(CONFIG_FILE_PATH) : path;
    loadOne(file);
    // The drop-ins: "*.conf" in the directory beside the file, in byte order of their
    // names, each replacing what came before, so that a user's settings outlive a
    // packaged file that an upgrade replaces.
    std::string const directory = file + ".d";
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (dirent const* entry = ::readdir(dir)) {
            std::string const name = entry->d_name;
            if (name.size() > DROP_IN_SUFFIX.size() && name[0] != '.' &&
                name.compare(name.size() - DROP_IN_SUFFIX.size(), DROP_IN_SUFFIX.size(),
                             DROP_IN_SUFFIX) == 0) {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (std::string const& name : names) {
        loadOne(directory + "/" + name);
    }
}

void ConfigFile::loadOne(std::string const& file) {
    ReadDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return;
    }

    std::string key;
    std::string value;
    ParseState state = ParseState::Key;
    bool escaped = false;

    auto endOfEntry = [&]() {
        addDefault(key, value);
        key.clear();
        value.clear();
        state = ParseState::Key;
    };

    auto feed = [&](char const byte) {
        if (byte == CARRIAGE_RETURN) {
            return;
        }
        switch (state) {
            case ParseState::Key:
                if (byte == SEPARATOR) {
                    state = ParseState::Value;
                } else if (byte == LINE_FEED) {
                    endOfEntry();
                } else {
                    key.push_back(byte);
                }
                break;
            case ParseState::Value:
                if (byte == LINE_FEED) {
                    endOfEntry();
                } else if (byte == QUOTE) {
                    state = ParseState::Quoted;
                } else {
                    value.push_back(byte);
                }
                break;
            case ParseState::Quoted:
                if (byte == BACKSLASH) {
                    escaped = true;
                } else if (byte == QUOTE && !escaped) {
                    state = ParseState::Value;
                } else {
                    value.push_back(byte);
                    escaped = false;
                }
                break;
        }
    };

    // A read error (a directory in place of the file, say) ends the input like
    // the end of the file does; what was read so far stays stored.
    std::string chunk(READ_CHUNK, '\0');
    for (;;) {
        ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        for (ssize_t i = 0; i < got; ++i) {
            feed(chunk[static_cast<std::size_t>(i)]);
        }
    }

    // The last line counts without its line feed, in whatever state it was cut.
    if (!key.empty()) {
        addDefault(key, value);
    }
}
