#include "CellRecord.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "CellModel.h"

CellRecord CellRecord::of(CellModel const& cell) {
    CellRecord record;
    record.seconds = cell.time();
    record.primary = cell.primaryPower();
    record.phase = CellModel::phaseName(cell.phase());
    record.load = cell.load();
    record.current = cell.currentMilliamperes();
    record.voltage = cell.loadedMillivolts();
    record.ocv = cell.openCircuitMillivolts();
    record.polarisation = cell.polarisationMillivolts();
    record.charge = cell.chargePercent();
    record.remaining = cell.remainingSeconds();
    return record;
}

std::size_t CellRecord::format(CellModel const& cell, char (&buffer)[LINE_SIZE]) {
    int const length = std::snprintf(
        buffer, LINE_SIZE,
        "%s%.3f primary %d phase %s load %.0f current %.1f voltage %.1f ocv %.1f polarisation "
        "%.2f charge %.3f remaining %.1f\n",
        PREFIX, cell.time(), cell.primaryPower() ? 1 : 0, CellModel::phaseName(cell.phase()),
        cell.load(), cell.currentMilliamperes(), cell.loadedMillivolts(),
        cell.openCircuitMillivolts(), cell.polarisationMillivolts(), cell.chargePercent(),
        cell.remainingSeconds());
    if (length < 0) {
        return 0;
    }
    return static_cast<std::size_t>(length) < LINE_SIZE ? static_cast<std::size_t>(length)
                                                        : LINE_SIZE - 1;
}

std::optional<CellRecord> CellRecord::parse(std::string const& line) {
    std::string const prefix = PREFIX;
    if (line.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(prefix.size()));
    CellRecord record;
    int primary = 0;
    std::string name[9];
    if (!(fields >> record.seconds >> name[0] >> primary >> name[1] >> record.phase >> name[2] >>
          record.load >> name[3] >> record.current >> name[4] >> record.voltage >> name[5] >>
          record.ocv >> name[6] >> record.polarisation >> name[7] >> record.charge >> name[8] >>
          record.remaining)) {
        return std::nullopt;
    }
    static char const* const names[] = {"primary", "phase",        "load",   "current",  "voltage",
                                        "ocv",     "polarisation", "charge", "remaining"};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        if (name[i] != names[i]) {
            return std::nullopt;
        }
    }
    record.primary = primary != 0;
    return record;
}

std::vector<CellRecord> CellRecord::read(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::string const content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    std::vector<CellRecord> records;
    // Whole lines only, as for the transfers.
    for (std::size_t start = 0, end; (end = content.find('\n', start)) != std::string::npos;
         start = end + 1) {
        if (auto record = parse(content.substr(start, end - start))) {
            records.push_back(*record);
        }
    }
    return records;
}
