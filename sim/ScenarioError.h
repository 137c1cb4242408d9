#pragma once

#include <stdexcept>
#include <string>

// A scenario that cannot be used; what() reads "<file>:<line>: <message>".
class ScenarioError : public std::runtime_error {
public:
    ScenarioError(std::string const& file, unsigned line, std::string const& message)
        : std::runtime_error(file + ":" + std::to_string(line) + ": " + message), mLine(line) {}

    unsigned line() const { return mLine; }

private:
    unsigned mLine;
};
