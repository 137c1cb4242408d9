#pragma once

// Told by the Scheduler after every pass whose actions all returned, before the pause.
class PassListener {
public:
    virtual void passCompleted() = 0;

protected:
    // Listeners are never deleted through a PassListener pointer.
    ~PassListener() = default;
};
