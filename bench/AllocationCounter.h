#pragma once

#include <cstdint>

// Counts the heap allocations made through the replaceable operator new in this process
// (the benchmark executable replaces the global operators in AllocationCounter.cpp).
class AllocationCounter {
public:
    // Allocations since the process started.
    static std::uint64_t count();
};
