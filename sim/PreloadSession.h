#pragma once

#include "PauseOverride.h"

class BoardModel;
class Interposer;

// The board of the preloaded library (libnuvexsim.so), configured from the environment:
//
//   NUVEXSIM_DEVICE    device file to simulate, matched by device and inode numbers;
//                      unset: the library does nothing but pass ioctl() on
//   NUVEXSIM_ADDRESS   the board's address, 0x.. or decimal (default 0x18)
//   NUVEXSIM_SCENARIO  scenario file to play (default: a steady board)
//   NUVEXSIM_TRACE     trace file, appended to (default: none)
//   NUVEXSIM_START_NS  CLOCK_MONOTONIC nanoseconds of time zero for the trace and the
//                      scenario's times (default: the moment the board comes up)
//   NUVEXSIM_OWNER     set by the library: the pid of the process that owns the board
//   NUVEXSIM_PAUSE_US  test facility: the daemon's 500 ms pause between passes lasts this
//                      many microseconds instead (PauseOverride.h); unset: untouched
//
// The first process that makes an I2C request on the device owns the board and marks
// itself in NUVEXSIM_OWNER; processes started from it (shell hooks) inherit the library
// and the mark, and leave the device to the real ioctl (it is a regular file to them).
// Configuration errors are reported on stderr as "nuvexsim: ..." and leave the device
// to the real ioctl too.
class PreloadSession {
public:
    // Registers the device, if any; the board itself comes up on first use.
    static void install(Interposer& interposer);
    // The pause override of NUVEXSIM_PAUSE_US, read at the first call; a bad value is
    // reported on stderr and leaves every sleep untouched.
    static PauseOverride const& pause();

private:
    static BoardModel* claim();
};
