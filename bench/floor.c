/*
 * nuvexfloor: the least a poll of the UPS board can cost through the kernel's
 * i2c-dev interface, as a yardstick for the daemon (see docs/performance.md).
 *
 * Each pass makes only the calls that the daemon's work needs and nothing else:
 * the 40 SMBus byte transfers of a poll (status, five measurements with a 1 ms pause
 * after each, version), the same two log lines as the daemon at LogLevel "debug",
 * each with a "%F %T" local time stamp (localtime(), as the daemon uses) and one
 * open(O_APPEND), write and close, then the daemon's 500 ms pause. No configuration,
 * no history, no shutdown logic: it never starts a command of any kind.
 *
 * Usage: nuvexfloor DEVICE LOGFILE POLLS [ADDRESS]
 * Ends after POLLS passes with status 0, or with status 1 at the first failure.
 */
#define _DEFAULT_SOURCE

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

enum {
    REG_STATUS = 0x00,
    REG_VERSION = 0x01,
    REG_MEASURE = 0x02,
    MEASURE_SAMPLES = 5,
    VERSION_LENGTH = 12,
    SAMPLE_PAUSE_MICROSECONDS = 1000,
    TICK_MICROSECONDS = 500000,
    LINE_SIZE = 128,
    STAMP_SIZE = 32
};

static int sendByte(int fd, unsigned char value) {
    struct i2c_smbus_ioctl_data request;
    memset(&request, 0, sizeof(request));
    request.read_write = I2C_SMBUS_WRITE;
    request.command = value;
    request.size = I2C_SMBUS_BYTE;
    return ioctl(fd, I2C_SMBUS, &request);
}

static int receiveByte(int fd) {
    union i2c_smbus_data data;
    struct i2c_smbus_ioctl_data request;
    memset(&request, 0, sizeof(request));
    request.read_write = I2C_SMBUS_READ;
    request.size = I2C_SMBUS_BYTE;
    request.data = &data;
    if (ioctl(fd, I2C_SMBUS, &request) != 0) {
        return -1;
    }
    return data.byte;
}

/* One line: "YYYY-MM-DD HH:MM:SS [DEBUG] message\n" with one open, write and close. */
static int logLine(char const* path, char const* message) {
    char stamp[STAMP_SIZE] = "";
    char line[LINE_SIZE];
    time_t now = time(NULL);
    struct tm const* local = localtime(&now);
    if (local != NULL) {
        strftime(stamp, sizeof(stamp), "%F %T", local);
    }
    int length = snprintf(line, sizeof(line), "%s [DEBUG] %s\n", stamp, message);
    if (length < 0 || (size_t)length >= sizeof(line)) {
        return -1;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    ssize_t written = write(fd, line, (size_t)length);
    close(fd);
    return written == length ? 0 : -1;
}

static int readWord(int fd) {
    int high = receiveByte(fd);
    int low = receiveByte(fd);
    if (high < 0 || low < 0) {
        return -1;
    }
    return high * 256 + low;
}

static int pollBoard(int fd, char const* logPath) {
    char message[LINE_SIZE];
    if (sendByte(fd, REG_STATUS) != 0) {
        return -1;
    }
    int status = receiveByte(fd);
    if (status < 0) {
        return -1;
    }
    snprintf(message, sizeof(message), "Current Status: %d", status);
    if (logLine(logPath, message) != 0) {
        return -1;
    }

    float voltage = 0;
    float current = 0;
    for (int i = 0; i < MEASURE_SAMPLES; ++i) {
        if (sendByte(fd, REG_MEASURE) != 0) {
            return -1;
        }
        int millivolts = readWord(fd);
        int milliamperes = readWord(fd);
        if (millivolts < 0 || milliamperes < 0) {
            return -1;
        }
        voltage += (float)millivolts;
        current += (float)milliamperes;
        usleep(SAMPLE_PAUSE_MICROSECONDS);
    }
    voltage /= (float)MEASURE_SAMPLES;
    current /= (float)MEASURE_SAMPLES;
    snprintf(message, sizeof(message), "U: %gmV, I: %gmA ", (double)voltage, (double)current);
    if (logLine(logPath, message) != 0) {
        return -1;
    }

    char version[VERSION_LENGTH];
    if (sendByte(fd, REG_VERSION) != 0) {
        return -1;
    }
    for (int i = 0; i < VERSION_LENGTH; ++i) {
        int byte = receiveByte(fd);
        if (byte < 0) {
            return -1;
        }
        version[i] = (char)byte;
    }
    (void)version;
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        fputs("usage: nuvexfloor DEVICE LOGFILE POLLS [ADDRESS]\n", stderr);
        return 2;
    }
    long polls = strtol(argv[3], NULL, 10);
    unsigned long address = argc == 5 ? strtoul(argv[4], NULL, 0) : 0x18;
    int fd = open(argv[1], O_RDWR | O_CLOEXEC);
    if (fd < 0 || ioctl(fd, I2C_SLAVE, address) < 0) {
        perror(argv[1]);
        return 1;
    }
    for (long i = 0; i < polls; ++i) {
        if (pollBoard(fd, argv[2]) != 0) {
            perror("poll");
            return 1;
        }
        usleep(TICK_MICROSECONDS);
    }
    close(fd);
    return 0;
}
