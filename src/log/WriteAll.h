#pragma once

#include <string_view>

// Writes the text to the descriptor, finishing short writes and retrying after a
// signal. Stops at the first error or when a write makes no progress (a full pipe
// opened non-blocking): a line may be lost, the caller is never held up for long.
// True when every byte was written.
bool writeAll(int fd, std::string_view text);
