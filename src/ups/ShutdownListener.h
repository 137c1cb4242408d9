#pragma once

// Told by the shutdown events when the shutdown has started but the board did not take
// its power-off command: the daemon then ends with the bus error before its pass is
// over, and what the pass would have announced must go out now.
class ShutdownListener {
public:
    virtual void shutdownStarting() = 0;

protected:
    // Listeners are never deleted through a ShutdownListener pointer.
    ~ShutdownListener() = default;
};
