#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BoardModel.h"
#include "SimDevice.h"
#include "TempDir.h"
#include "bus/I2C.h"

// A simulated board behind the real i2c-dev calls, the daemon's bus object bound
// to it, and a configuration whose log and shell commands stay in a temp dir.
class BoardFixture : public ::testing::Test {
protected:
    BoardFixture();

    // Sets a key in the process-wide configuration-file store.
    static void set(std::string const& key, std::string const& value);
    // Log lines with their time stamps cut off, e.g. "[NOTICE] nuvexmon started".
    std::vector<std::string> logLines() const;
    // Lines of the given level only, without the label.
    std::vector<std::string> logLines(std::string const& label) const;
    // A command that records the exact text the shell was given, one record per run.
    std::string recorder(std::string const& name) const;
    // The texts recorded by recorder(name), in order.
    std::vector<std::string> recorded(std::string const& name) const;
    // Transfers of the given poll, written as "W 0x00", "R 0x01", "R 0xff failed".
    std::vector<std::string> transfersOfPoll(unsigned poll) const;

    TempDir mDir;
    BoardModel mBoard;
    SimDevice mDevice;
    std::unique_ptr<I2C> mBus;
};
