#include "TraceWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Trace.h"

TraceWriter::TraceWriter(std::string const& path)
    : mFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666)) {
    if (mFd < 0) {
        throw std::runtime_error("cannot open trace " + path + ": " + std::strerror(errno));
    }
}

TraceWriter::~TraceWriter() {
    ::close(mFd);
}

void TraceWriter::write(Transfer const& transfer) {
    char buffer[Trace::LINE_SIZE];
    writeLine(buffer, Trace::format(transfer, buffer));
}

void TraceWriter::comment(std::string const& text) {
    std::string const line = "# " + text + "\n";
    writeLine(line.data(), line.size());
}

// A short write is not completed: a second write could interleave with another
// process's line. Trace lines are far below PIPE_BUF, so this does not happen on
// local files.
void TraceWriter::writeLine(char const* data, std::size_t size) {
    int const saved = errno;
    while (::write(mFd, data, size) < 0 && errno == EINTR) {
    }
    errno = saved;
}
