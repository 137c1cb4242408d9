#pragma once

// Command bytes of the UPS board. Each exchange starts with one of these as an
// SMBus send-byte; the reply is fetched one receive-byte at a time.
constexpr unsigned char REG_STATUS = 0x00;    // reply: 1 status byte
constexpr unsigned char REG_VERSION = 0x01;   // reply: 12 raw characters
constexpr unsigned char REG_MEASURE = 0x02;   // reply: voltage mV, current mA, big-endian
constexpr unsigned char CMD_POWEROFF = 0x10;  // followed by one send-byte: the delay

// Status byte bits.
constexpr int STATUS_PRIMARY_POWER = 0x01;
constexpr int STATUS_BATTERY_POWER = 0x02;
constexpr int STATUS_BATTERY_LOW = 0x04;
constexpr int STATUS_CHARGING = 0x08;
constexpr int STATUS_BUTTON = 0x20;

// Only these four bits describe the power state; the button and the
// uninterpreted bits never count as a change.
constexpr int STATUS_POWER_MASK = 0x0F;

constexpr int VERSION_LENGTH = 12;
