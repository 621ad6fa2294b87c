// The agent's diagnostic log: Qt logging categories for what an administrator
// needs to find out why something failed (connection attempts and their
// reasons, timeouts, refused publishes, tool limits, the login, configuration,
// attached phones). The console lines on standard output are a separate,
// fixed channel (common/console.h); these carry time and level and go to
// standard error and, in a desktop session, to the journal.
//
//   qCWarning(lcConnection) << "connect timed out after" << seconds << "s";
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcConnection)  // broker connection, reconnects, publishes
Q_DECLARE_LOGGING_CATEGORY(lcLogin)       // the HTTPS login
Q_DECLARE_LOGGING_CATEGORY(lcTools)       // device tools: launches, limits, time-outs
Q_DECLARE_LOGGING_CATEGORY(lcDevices)     // attached phones, USB
Q_DECLARE_LOGGING_CATEGORY(lcConfig)      // settings and where they came from
