#pragma once

#include <cstdlib>
#include <cstring>
#include <stdexcept>

// Runs a conversion; its only allowed failures are the two number-parsing errors,
// each with the message "stoi". Any other message aborts the fuzz run.
template <typename Conversion>
void expectOnlyStoiErrors(Conversion conversion) {
    try {
        conversion();
    } catch (std::invalid_argument const& e) {
        if (std::strcmp(e.what(), "stoi") != 0) {
            std::abort();
        }
    } catch (std::out_of_range const& e) {
        if (std::strcmp(e.what(), "stoi") != 0) {
            std::abort();
        }
    }
}
