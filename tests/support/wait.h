// Waiting in tests: spin the event loop until a condition holds or a deadline
// passes. Tests never sleep to synchronise.
#pragma once

#include <functional>

class QProcess;

namespace tgw::test {

// Processes events until `condition` is true or `timeoutMs` has passed.
// Returns whether the condition became true.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Processes events for `ms` milliseconds: only for checking that something
// does NOT happen within a period.
void processEventsFor(int ms);

// Ends a process a test started and waits for it: SIGTERM, then SIGKILL.
void stopProcess(QProcess& process);

}  // namespace tgw::test
