// libFuzzer target: Config::getInt on arbitrary values. The first input byte chooses the
// base ('x': 16, as for I2CAddress; anything else: 10, as for the timers), the rest is the
// value. Run by fuzz/run.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "StoiCheck.h"
#include "config/Config.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    int const base = data[0] == 'x' ? 16 : 10;
    std::string const value(reinterpret_cast<char const*>(data + 1), size - 1);
    Config config;
    config.addDefault("key", value);
    expectOnlyStoiErrors([&] {
        int const number = config.getInt("key", base);
        // A number was read: the value starts with one, after blanks and a sign.
        if (number != 0 && value.find_first_of("123456789abcdefABCDEF") == std::string::npos) {
            std::abort();
        }
    });
    return 0;
}
