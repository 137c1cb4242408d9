#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "BoardModel.h"
#include "SimDevice.h"
#include "Trace.h"
#include "bus/I2C.h"
#include "bus/I2CException.h"

#ifdef NUVEXSIM_EMULATED
// The emulator refuses I2C requests on other files itself, before the kernel sees them.
constexpr int NOT_A_TTY_ERROR = ENOSYS;
#else
constexpr int NOT_A_TTY_ERROR = ENOTTY;
#endif

namespace {

// A raw descriptor on a file, for the kernel-level answers (errno) the I2C class hides.
class Descriptor {
public:
    explicit Descriptor(std::string const& path) : mFd(::open(path.c_str(), O_RDWR)) {}
    ~Descriptor() { ::close(mFd); }
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;

    // 0 on success, otherwise errno.
    int bind(unsigned long address, unsigned long request = I2C_SLAVE) const {
        return ::ioctl(mFd, request, address) == 0 ? 0 : errno;
    }
    int smbus(std::uint8_t readWrite, std::uint8_t command, std::uint32_t size,
              i2c_smbus_data* data) const {
        i2c_smbus_ioctl_data request{readWrite, command, size, data};
        return ::ioctl(mFd, I2C_SMBUS, &request) == 0 ? 0 : errno;
    }
    int send(std::uint8_t byte) const {
        return smbus(I2C_SMBUS_WRITE, byte, I2C_SMBUS_BYTE, nullptr);
    }
    int receive(std::uint8_t& byte) const {
        i2c_smbus_data data{};
        int const error = smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data);
        byte = data.byte;
        return error;
    }
    int fd() const { return mFd; }

private:
    int mFd;
};

// The daemon's poll, transfer for transfer: status, five measurements, the version.
struct Poll {
    int status = -1;
    std::vector<std::uint16_t> words;  // voltage, current, voltage, current, ...
    std::string version;
};

Poll pollLikeTheDaemon(I2C& bus) {
    Poll poll;
    bus.write(0x00);
    poll.status = bus.read();
    for (int sample = 0; sample < 5; ++sample) {
        bus.write(0x02);
        for (int word = 0; word < 2; ++word) {
            int const high = bus.read();
            poll.words.push_back(static_cast<std::uint16_t>(high * 256 + bus.read()));
        }
    }
    bus.write(0x01);
    for (int i = 0; i < 12; ++i) {
        poll.version.push_back(static_cast<char>(bus.read()));
    }
    return poll;
}

std::vector<std::string> described(std::vector<Transfer> const& transfers) {
    std::vector<std::string> result;
    for (Transfer const& transfer : transfers) {
        result.push_back(Trace::describe(transfer));
    }
    return result;
}

class BoardModelTest : public ::testing::Test {
protected:
    BoardModel mBoard;
    SimDevice mDevice{mBoard};
};

TEST_F(BoardModelTest, AnswersTheDaemonsPollThroughItsBusClass) {
    mBoard.setStatus(0x0A);
    mBoard.setMeasurement(0x1234, 0xFEDC);
    mBoard.queueSamples({{4000, 100}, {4010, 110}});
    mBoard.setVersion(std::string("V1.2\0x", 6));
    I2C bus(mDevice.path(), 0x18);

    Poll const poll = pollLikeTheDaemon(bus);

    EXPECT_EQ(poll.status, 0x0A);
    EXPECT_EQ(poll.words, (std::vector<std::uint16_t>{4000, 100, 4010, 110, 0x1234, 0xFEDC, 0x1234,
                                                      0xFEDC, 0x1234, 0xFEDC}));
    EXPECT_EQ(poll.version, std::string("V1.2\0x\0\0\0\0\0\0", 12));
    EXPECT_EQ(mBoard.polls(), 1U);
    std::vector<std::string> const transfers = described(mBoard.transfers());
    ASSERT_EQ(transfers.size(), 40U);
    EXPECT_EQ(transfers[0], "1 W 0x00 ok");
    EXPECT_EQ(transfers[1], "1 R 0x0a ok");
    EXPECT_EQ(std::vector<std::string>(transfers.begin() + 2, transfers.begin() + 7),
              (std::vector<std::string>{"1 W 0x02 ok", "1 R 0x0f ok", "1 R 0xa0 ok", "1 R 0x00 ok",
                                        "1 R 0x64 ok"}));
    EXPECT_EQ(transfers[27], "1 W 0x01 ok");
    EXPECT_EQ(transfers[39], "1 R 0x00 ok");
}

TEST_F(BoardModelTest, ButtonAddsItsBitToTheStatusReplyOnly) {
    mBoard.setStatus(0x02);
    mBoard.setButton(true);
    I2C bus(mDevice.path(), 0x18);
    bus.write(0x00);
    EXPECT_EQ(bus.read(), 0x22);
    mBoard.setButton(false);
    bus.write(0x00);
    EXPECT_EQ(bus.read(), 0x02);
    EXPECT_EQ(mBoard.status(), 0x02);
}

// Each case: the bytes written and read on a fresh board, and the reads' answers.
struct IdleCase {
    char const* name;
    std::vector<int> script;  // >= 0: send-byte; -1: receive-byte
    std::vector<int> answers;
};

TEST_F(BoardModelTest, AnswersTheIdleByteWhereNoReplyIs) {
    std::vector<IdleCase> const cases = {
        {"read before any command", {-1, -1}, {0xFF, 0xFF}},
        {"unknown command", {0x55, -1}, {0xFF}},
        {"read past the status byte", {0x00, -1, -1}, {0x01, 0xFF}},
        {"read past the measurement", {0x02, -1, -1, -1, -1, -1}, {0x10, 0x04, 0x00, 0xFA, 0xFF}},
        {"a new command resets the position", {0x00, -1, 0x00, -1}, {0x01, 0x01}},
        {"after the power-off command", {0x10, -1}, {0xFF}},
        {"a command abandons a reply half read", {0x01, -1, 0x00, -1, -1}, {'N', 0x01, 0xFF}},
    };
    for (IdleCase const& test : cases) {
        BoardModel board;
        SimDevice device(board);
        Descriptor fd(device.path());
        ASSERT_EQ(fd.bind(0x18), 0);
        std::vector<int> answers;
        for (int step : test.script) {
            if (step >= 0) {
                EXPECT_EQ(fd.send(static_cast<std::uint8_t>(step)), 0) << test.name;
            } else {
                std::uint8_t byte = 0;
                EXPECT_EQ(fd.receive(byte), 0) << test.name;
                answers.push_back(byte);
            }
        }
        EXPECT_EQ(answers, test.answers) << test.name;
    }
}

TEST_F(BoardModelTest, TheByteAfterPowerOffIsItsDelayNeverACommand) {
    I2C bus(mDevice.path(), 0x18);
    bus.write(0x10);
    bus.write(0x00);  // delay 0, not a status command
    bus.write(0x10);
    bus.write(0x10);  // delay 16
    EXPECT_EQ(mBoard.polls(), 0U);
    EXPECT_EQ(mBoard.powerOffRequests(), (std::vector<std::uint8_t>{0x00, 0x10}));

    bus.write(0x10);
    mBoard.failNext(1);
    EXPECT_THROW(bus.write(30), I2CException);
    bus.write(0x00);  // the board dropped the command: a status command again
    EXPECT_EQ(mBoard.polls(), 1U);
    EXPECT_EQ(mBoard.powerOffRequests(), (std::vector<std::uint8_t>{0x00, 0x10}));

    mBoard.clearTransfers();
    EXPECT_TRUE(mBoard.transfers().empty());
    EXPECT_TRUE(mBoard.powerOffRequests().empty());
    EXPECT_EQ(mBoard.polls(), 1U);
}

TEST_F(BoardModelTest, BindsLikeTheKernel) {
    BoardModel high;
    SimDevice highDevice(high, 0x7F);
    Descriptor fd(mDevice.path());
    std::uint8_t byte = 0;

    // A fresh descriptor talks to address 0: no board there.
    EXPECT_EQ(fd.send(0x00), ENXIO);
    for (unsigned long request : {I2C_SLAVE, I2C_SLAVE_FORCE}) {
        EXPECT_EQ(fd.bind(0x80, request), EINVAL);
        EXPECT_EQ(fd.bind(0x3FF, request), EINVAL);
        EXPECT_EQ(fd.bind(0x19, request), 0);
        EXPECT_EQ(fd.send(0x00), ENXIO);
        EXPECT_EQ(fd.receive(byte), ENXIO);
        EXPECT_EQ(fd.bind(0x18, request), 0);
        EXPECT_EQ(fd.send(0x00), 0);
        EXPECT_EQ(fd.receive(byte), 0);
        EXPECT_EQ(byte, 0x01);
    }
    // A refused address leaves the binding as it was.
    EXPECT_EQ(fd.bind(0x98), EINVAL);
    EXPECT_EQ(fd.send(0x00), 0);

    Descriptor other(highDevice.path());
    EXPECT_EQ(other.bind(0x7F), 0);
    EXPECT_EQ(other.send(0x00), 0);
    EXPECT_EQ(high.polls(), 1U);
    EXPECT_EQ(mBoard.polls(), 3U);
    // Transfers to an empty address never reach the board.
    EXPECT_EQ(mBoard.transfers().size(), 5U);
}

TEST_F(BoardModelTest, AnswersTheOtherRequestsLikeAByteOnlyAdapter) {
    Descriptor fd(mDevice.path());
    ASSERT_EQ(fd.bind(0x18), 0);
    unsigned long functions = 0;
    ASSERT_EQ(::ioctl(fd.fd(), I2C_FUNCS, &functions), 0);
    EXPECT_EQ(functions, static_cast<unsigned long>(I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE));

    i2c_smbus_data data{};
    EXPECT_EQ(fd.smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE_DATA, &data), EOPNOTSUPP);
    EXPECT_EQ(fd.smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, nullptr), EINVAL);
    EXPECT_EQ(fd.smbus(7, 0, I2C_SMBUS_BYTE, &data), EINVAL);
    EXPECT_EQ(fd.smbus(I2C_SMBUS_READ, 0, 99, &data), EINVAL);
    EXPECT_EQ(fd.smbus(I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr), 0);
    EXPECT_EQ(::ioctl(fd.fd(), TCGETS, &data) == 0 ? 0 : errno, ENOTTY);
    EXPECT_TRUE(mBoard.transfers().empty());
}

TEST(SimDevice, LeavesOtherFilesToTheKernel) {
    BoardModel board;
    std::string path;
    {
        SimDevice device(board);
        path = device.path();
        // Same name, new inode: the device file is matched by inode, not by name.
        Descriptor original(path);
        ASSERT_EQ(::unlink(path.c_str()), 0);
        ASSERT_EQ(::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0666)), 0);
        Descriptor impostor(path);
        EXPECT_EQ(impostor.bind(0x18), NOT_A_TTY_ERROR);
        EXPECT_EQ(original.bind(0x18), 0);
        EXPECT_EQ(original.send(0x00), 0);
        ASSERT_EQ(::unlink(path.c_str()), 0);
    }
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    EXPECT_EQ(board.polls(), 1U);
    EXPECT_THROW(I2C("/dev/null", 0x18), I2CException);
}

TEST(SimDevice, DetachesOnDestruction) {
    BoardModel board;
    auto device = std::make_unique<SimDevice>(board);
    Descriptor fd(device->path());
    ASSERT_EQ(fd.bind(0x18), 0);
    device.reset();
    EXPECT_EQ(fd.send(0x00), NOT_A_TTY_ERROR);
    EXPECT_TRUE(board.transfers().empty());
}

TEST_F(BoardModelTest, FailsTheChosenTransferOfTheChosenPoll) {
    mBoard.failTransfer(2, 3);  // the first REG_MEASURE of poll 2
    mBoard.failTransfer(0, 1);  // before any poll
    I2C bus(mDevice.path(), 0x18);
    EXPECT_THROW(bus.write(0x55), I2CException);
    pollLikeTheDaemon(bus);
    EXPECT_THROW(pollLikeTheDaemon(bus), I2CException);
    pollLikeTheDaemon(bus);

    std::vector<std::string> failed;
    for (Transfer const& transfer : mBoard.transfers()) {
        if (!transfer.ok) {
            failed.push_back(Trace::describe(transfer));
        }
    }
    EXPECT_EQ(failed, (std::vector<std::string>{"0 W 0x55 failed", "2 W 0x02 failed"}));
    EXPECT_EQ(mBoard.polls(), 3U);
    EXPECT_EQ(mBoard.transfers().size(), 1U + 40U + 3U + 40U);
}

TEST_F(BoardModelTest, FailNextAndAbsenceFailEveryTransferAndPollsGoOn) {
    I2C bus(mDevice.path(), 0x18);
    mBoard.failNext(2);
    EXPECT_THROW(bus.write(0x00), I2CException);
    EXPECT_THROW(bus.read(), I2CException);
    bus.write(0x00);
    EXPECT_EQ(bus.read(), 0x01);

    mBoard.setPresent(false);
    EXPECT_THROW(bus.write(0x00), I2CException);
    EXPECT_THROW(bus.read(), I2CException);
    mBoard.setPresent(true);
    bus.write(0x00);
    EXPECT_EQ(bus.read(), 0x01);

    EXPECT_EQ(described(mBoard.transfers()),
              (std::vector<std::string>{"1 W 0x00 failed", "1 R 0xff failed", "2 W 0x00 ok",
                                        "2 R 0x01 ok", "3 W 0x00 failed", "3 R 0xff failed",
                                        "4 W 0x00 ok", "4 R 0x01 ok"}));
}

TEST_F(BoardModelTest, DelaysEveryTransfer) {
    mBoard.setTransferDelay(std::chrono::milliseconds(40));
    I2C bus(mDevice.path(), 0x18);
    auto const before = std::chrono::steady_clock::now();
    bus.write(0x00);
    bus.read();
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(80));
    std::vector<Transfer> const transfers = mBoard.transfers();
    ASSERT_EQ(transfers.size(), 2U);
    EXPECT_GE(transfers[1].seconds - transfers[0].seconds, 0.035);
}

TEST(BoardModel, RefusesAVersionLongerThanTwelveBytes) {
    BoardModel board;
    EXPECT_THROW(board.setVersion("0123456789ABC"), std::invalid_argument);
    EXPECT_NO_THROW(board.setVersion("0123456789AB"));
}

}  // namespace
