#pragma once

#include <string>
#include <vector>

// A fresh directory under $TMPDIR for one test, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;

    std::string const& path() const { return mPath; }
    // Writes a file in the directory and returns its path.
    std::string write(std::string const& name, std::string const& content) const;
    std::string read(std::string const& name) const;

private:
    std::string mPath;
};

// Names in a directory, sorted, without "." and ".."; empty when it cannot be read.
std::vector<std::string> listDirectory(std::string const& path);
