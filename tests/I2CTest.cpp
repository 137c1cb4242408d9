#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "bus/I2C.h"
#include "bus/I2CException.h"

namespace {

std::string constructionFailure(std::string const& device) {
    try {
        I2C bus(device, 0x18);
    } catch (I2CException const& e) {
        return e.what();
    }
    return "no exception";
}

TEST(I2C, FailuresThatNeedNoBoard) {
    TempDir dir;
    EXPECT_EQ(constructionFailure(dir.path() + "/i2c-9"), "could not open i2c bus!");
    // The kernel answers I2C_SLAVE on a descriptor that is no I2C adapter with an error.
    EXPECT_EQ(constructionFailure(dir.write("regular", "")), "could not initialise i2c bus!");
    EXPECT_EQ(constructionFailure("/dev/null"), "could not initialise i2c bus!");
}

}  // namespace
