#include "ups/NuvexState.h"

NuvexState::NuvexState(NuvexStatus* status, NuvexEvents* events)
    : mStatusPoller(status), mEvents(events) {}

void NuvexState::exec() {}

void NuvexState::removeWrittenFile() {}
