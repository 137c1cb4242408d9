#!/usr/bin/python3
"""Watch a nuvex UPS board on the I2C bus and log its readings.

Every half second: read the status byte, five voltage/current samples (1 ms apart)
and the 12-byte version text, and append two lines to the log file. This is the
short script a user could run instead of nuvexmon; bench/run measures both.
Needs Debian's python3-smbus2 (run it with /usr/bin/python3).
"""

import argparse
import time

from smbus2 import SMBus

ADDRESS = 0x18
REG_STATUS = 0x00
REG_VERSION = 0x01
REG_MEASURE = 0x02
SAMPLES = 5
VERSION_LENGTH = 12


def log(path, message):
    stamp = time.strftime("%F %T")
    with open(path, "a") as log_file:
        log_file.write(f"{stamp} [DEBUG] {message}\n")


def read_word(bus):
    high = bus.read_byte(ADDRESS)
    return high << 8 | bus.read_byte(ADDRESS)


def poll(bus, log_path):
    bus.write_byte(ADDRESS, REG_STATUS)
    status = bus.read_byte(ADDRESS)
    log(log_path, f"Current Status: {status}")

    voltage = current = 0
    for _ in range(SAMPLES):
        bus.write_byte(ADDRESS, REG_MEASURE)
        voltage += read_word(bus)
        current += read_word(bus)
        time.sleep(0.001)
    log(log_path, f"U: {voltage / SAMPLES:g}mV, I: {current / SAMPLES:g}mA ")

    bus.write_byte(ADDRESS, REG_VERSION)
    version = bytes(bus.read_byte(ADDRESS) for _ in range(VERSION_LENGTH))
    return status, version


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", default="/dev/i2c-1")
    parser.add_argument("--log", default="/var/log/nuvexmon.log")
    parser.add_argument("--interval", type=float, default=0.5, help="pause after each poll, s")
    parser.add_argument("--polls", type=int, default=0, help="stop after this many (0: never)")
    args = parser.parse_args()

    with SMBus(args.device) as bus:
        done = 0
        while args.polls == 0 or done < args.polls:
            poll(bus, args.log)
            done += 1
            time.sleep(args.interval)


if __name__ == "__main__":
    main()
