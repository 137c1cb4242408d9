#pragma once

#include "sched/Action.h"

class NuvexStatus;
class NuvexEvents;

// Publishes the board's state for Network UPS Tools in the definition-file format
// of its dummy-ups driver, at the path configured as StateFile (empty: off).
class NuvexState : public Action {
public:
    NuvexState(NuvexStatus* status, NuvexEvents* events);

    void exec() override;

    // Removes the state file if this process wrote it. Async-signal-safe: it uses
    // only the path prepared by the constructor.
    static void removeWrittenFile();

    NuvexStatus* mStatusPoller;
    NuvexEvents* mEvents;
};
