#include "ups/OutageRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <utility>
#include <vector>

#include "log/Log.h"
#include "log/WriteAll.h"

namespace {

constexpr mode_t FILE_MODE = 0644;
constexpr char BOOT_ID_FILE[] = "/proc/sys/kernel/random/boot_id";
constexpr std::size_t READ_LIMIT = 4096;
constexpr std::int64_t MILLI = 1000;
constexpr std::int64_t NANO_PER_MILLI = 1000000;
constexpr long MAX_DELAY = 255;
constexpr long MAX_CHARGE_MILLI = 100000;
constexpr char const* REASONS[] = {"countdown", "button", "lowbattery", "charge", "runtime"};

std::string readSmallFile(std::string const& path, bool& found) {
    found = false;
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return {};
    }
    std::string text;
    char buffer[READ_LIMIT];
    for (;;) {
        ssize_t const got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || text.size() > READ_LIMIT) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    found = true;
    return text;
}

// Decimal digits only, at most 18 of them: no sign, no blanks, no overflow.
bool number(std::string const& word, std::int64_t& value) {
    constexpr std::size_t MAX_DIGITS = 18;
    if (word.empty() || word.size() > MAX_DIGITS) {
        return false;
    }
    value = 0;
    for (char const c : word) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

bool knownReason(std::string const& word) {
    for (char const* reason : REASONS) {
        if (word == reason) {
            return true;
        }
    }
    return false;
}

char const* verdictText(OutageRecord::Verdict verdict) {
    switch (verdict) {
        case OutageRecord::Verdict::OtherBoot:
            return "it belongs to another boot";
        case OutageRecord::Verdict::Future:
            return "it lies in the future";
        default:
            return "it is unreadable or malformed";
    }
}

}  // namespace

bool OutageRecord::Data::operator==(Data const& other) const {
    return outage == other.outage && beganMs == other.beganMs && count == other.count &&
           countMs == other.countMs && announced == other.announced && shutdown == other.shutdown &&
           commandSent == other.commandSent && commandMs == other.commandMs &&
           delay == other.delay && haveCharge == other.haveCharge &&
           chargeMilli == other.chargeMilli;
}

std::string OutageRecord::format(Data const& data, std::string const& bootId) {
    std::ostringstream text;
    text << "boot " << bootId << '\n';
    if (data.outage) {
        text << "outage " << data.beganMs << '\n';
        text << "count " << data.count << ' ' << data.countMs << '\n';
        if (data.announced) {
            text << "announced\n";
        }
    }
    if (!data.shutdown.empty()) {
        text << "shutdown " << data.shutdown << '\n';
    }
    if (data.commandSent) {
        text << "poweroff " << data.commandMs << ' ' << data.delay << '\n';
    }
    if (data.haveCharge) {
        text << "charge " << data.chargeMilli << '\n';
    }
    // The last line: a file cut short anywhere is told from a shorter record.
    text << "end\n";
    return text.str();
}

OutageRecord::Verdict OutageRecord::parse(std::string const& text, std::string const& bootId,
                                          std::int64_t nowMs, Data& out) {
    if (text.empty()) {
        return Verdict::Malformed;
    }
    if (text.back() != '\n') {
        return Verdict::Malformed;
    }
    std::vector<std::vector<std::string>> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        std::vector<std::string> words;
        std::istringstream split(line);
        std::string word;
        while (split >> word) {
            words.push_back(word);
        }
        // Exactly one blank between words, nothing around them.
        std::string joined;
        for (std::string const& w : words) {
            joined += (joined.empty() ? "" : " ") + w;
        }
        if (words.empty() || joined != line) {
            return Verdict::Malformed;
        }
        lines.push_back(std::move(words));
    }
    if (lines.size() < 2 || lines.front().size() != 2 || lines.front()[0] != "boot" ||
        lines.back().size() != 1 || lines.back()[0] != "end") {
        return Verdict::Malformed;
    }
    Data data;
    std::int64_t latest = 0;
    bool counted = false;
    std::string seen;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        std::vector<std::string> const& w = lines[i];
        std::string const& key = w[0];
        // Each line once, and in the order format() writes them.
        static std::string const ORDER = "ocasph";
        char const tag = key == "outage"      ? 'o'
                         : key == "count"     ? 'c'
                         : key == "announced" ? 'a'
                         : key == "shutdown"  ? 's'
                         : key == "poweroff"  ? 'p'
                         : key == "charge"    ? 'h'
                                              : '?';
        if (tag == '?' || (!seen.empty() && ORDER.find(tag) <= ORDER.find(seen.back()))) {
            return Verdict::Malformed;
        }
        seen += tag;
        std::int64_t a = 0;
        std::int64_t b = 0;
        bool ok = false;
        switch (tag) {
            case 'o':
                ok = w.size() == 2 && number(w[1], a);
                data.outage = true;
                data.beganMs = a;
                latest = std::max(latest, a);
                break;
            case 'c':
                ok = w.size() == 3 && number(w[1], a) && a <= INT32_MAX && number(w[2], b);
                data.count = static_cast<std::int32_t>(a);
                data.countMs = b;
                latest = std::max(latest, b);
                counted = true;
                break;
            case 'a':
                ok = w.size() == 1;
                data.announced = true;
                break;
            case 's':
                ok = w.size() == 2 && knownReason(w[1]);
                if (ok) {
                    data.shutdown = w[1];
                }
                break;
            case 'p':
                ok = w.size() == 3 && number(w[1], a) && number(w[2], b) && b <= MAX_DELAY;
                data.commandSent = true;
                data.commandMs = a;
                data.delay = static_cast<int>(b);
                latest = std::max(latest, a);
                break;
            case 'h':
                ok = w.size() == 2 && number(w[1], a) && a <= MAX_CHARGE_MILLI;
                data.haveCharge = true;
                data.chargeMilli = static_cast<std::int32_t>(a);
                break;
            default:
                break;
        }
        if (!ok) {
            return Verdict::Malformed;
        }
    }
    // An outage has its count; the count and the announcement belong to an outage.
    if (data.outage != counted || (data.announced && !data.outage)) {
        return Verdict::Malformed;
    }
    if (bootId.empty() || lines.front()[1] != bootId) {
        return Verdict::OtherBoot;
    }
    if (latest > nowMs) {
        return Verdict::Future;
    }
    out = data;
    return Verdict::Valid;
}

std::string OutageRecord::bootId() {
    bool found = false;
    std::string id = readSmallFile(BOOT_ID_FILE, found);
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) {
        id.pop_back();
    }
    return id.find_first_of(" \n") == std::string::npos ? id : std::string();
}

std::int64_t OutageRecord::nowMs() {
    struct timespec now {};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * MILLI + now.tv_nsec / NANO_PER_MILLI;
}

bool OutageRecord::read(std::string const& path, Data& out) {
    bool found = false;
    std::string const text = readSmallFile(path, found);
    return found && parse(text, bootId(), nowMs(), out) == Verdict::Valid;
}

OutageRecord::OutageRecord(std::string path) : mPath(std::move(path)) {
    if (!mPath.empty()) {
        mBootId = bootId();
    }
}

void OutageRecord::load() {
    if (mPath.empty() || mBootId.empty()) {
        return;
    }
    bool found = false;
    std::string const text = readSmallFile(mPath, found);
    if (!found && errno == ENOENT) {
        return;
    }
    Data data;
    Verdict const verdict = found ? parse(text, mBootId, nowMs(), data) : Verdict::Malformed;
    if (verdict == Verdict::Valid) {
        mData = data;
        mWritten = data;
        return;
    }
    std::string line = "Outage record " + mPath + " ignored: ";
    line += verdictText(verdict);
    Log::getInstance()->write(line, Log::WARNING);
    // Written anew (or removed) by the first commit.
    mWritten.count = -1;
}

void OutageRecord::commit() {
    if (mPath.empty() || mBootId.empty() || mData == mWritten) {
        return;
    }
    bool ok = false;
    if (mData.empty()) {
        ok = ::unlink(mPath.c_str()) == 0 || errno == ENOENT;
    } else {
        ok = write(format(mData, mBootId));
    }
    // Tried once per change, not once per pass: without the directory every pass
    // would pay for a failed open.
    mWritten = mData;
    if (ok) {
        mFailing = false;
        return;
    }
    // Without the service's directory (a daemon started by hand) there is no record,
    // and nothing to say about it.
    if (!mFailing && errno != ENOENT) {
        mFailing = true;
        Log::getInstance()->write("could not write outage record!", Log::DEBUG);
    }
}

void OutageRecord::exec() {
    commit();
}

bool OutageRecord::write(std::string const& text) {
    std::string const temp = mPath + ".tmp";
    int const fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, FILE_MODE);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, text);
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), mPath.c_str()) == 0) {
        return true;
    }
    int const error = errno;
    ::unlink(temp.c_str());
    errno = error;
    return false;
}
