#pragma once

#include <string>

#include "Transfer.h"

// Appends trace lines (see Trace.h) to a file, each with one write(2) on an O_APPEND
// descriptor, so that the trace holds every completed transfer even when the process
// is killed, and lines from two processes never mix.
class TraceWriter {
public:
    // Throws std::runtime_error when the file cannot be opened.
    explicit TraceWriter(std::string const& path);
    ~TraceWriter();
    TraceWriter(TraceWriter const&) = delete;
    TraceWriter& operator=(TraceWriter const&) = delete;

    // No allocation: safe to call from the interposer on any ioctl().
    void write(Transfer const& transfer);
    // A "# text" line.
    void comment(std::string const& text);
    // A whole line, newline included, as it is (a CellRecord). No allocation.
    void writeLine(char const* data, std::size_t size);

private:
    int mFd;
};
