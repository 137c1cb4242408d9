// libFuzzer target: the configuration-file parser on arbitrary bytes, then every
// conversion the daemon makes of the values it stored. Run by fuzz/run.
//
// The input is written to a file (on tmpfs where there is one) and loaded the way the
// daemon loads its configuration, by path. Built with AddressSanitizer and
// UndefinedBehaviorSanitizer: any memory error, leak or undefined behaviour ends the run.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "StoiCheck.h"
#include "config/ConfigException.h"
#include "config/ConfigFile.h"

namespace {

// The keys the daemon reads, and the empty key that blank lines store.
constexpr char const* KEYS[] = {"I2CAddress",
                                "I2CBootAddr",
                                "I2CDevice",
                                "LogFile",
                                "PowerOffTimer",
                                "ShutdownTimer",
                                "ShutdownCmd",
                                "LogLevel",
                                "LogStatusDesc",
                                "StatusChangedCmd",
                                ""};
constexpr int BASES[] = {10, 16};

std::string inputPath() {
    char const* directory = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    return std::string(directory != nullptr ? directory : "/tmp") + "/nuvexmon-fuzz-config-" +
           std::to_string(::getpid());
}

void writeInput(std::string const& path, std::uint8_t const* data, std::size_t size) {
    int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::abort();
    }
    while (size > 0) {
        ssize_t const written = ::write(fd, data, size);
        if (written <= 0) {
            std::abort();
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    ::close(fd);
}

// The documented failures of a lookup; anything else escapes and ends the run.
void convert(ConfigFile& config, char const* key) {
    try {
        static_cast<void>(config.getString(key));
        for (int const base : BASES) {
            expectOnlyStoiErrors([&] { static_cast<void>(config.getInt(key, base)); });
        }
    } catch (ConfigException const&) {
        // The key is not in the file.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    static std::string const path = inputPath();
    writeInput(path, data, size);
    ConfigFile first;
    first.load(path);
    // Loading is deterministic: a second load stores the same values.
    ConfigFile second;
    second.load(path);
    for (char const* key : KEYS) {
        convert(first, key);
        std::string a;
        std::string b;
        try {
            a = first.getString(key);
        } catch (ConfigException const&) {
            a = "<missing>";
        }
        try {
            b = second.getString(key);
        } catch (ConfigException const&) {
            b = "<missing>";
        }
        if (a != b) {
            std::abort();
        }
    }
    return 0;
}
