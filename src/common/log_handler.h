// Where the diagnostic log goes: every Qt log message (the tgw.* categories of
// common/diagnostics.h and Qt's own) becomes one line with time, level and
// category on standard error, and, in a desktop session with a systemd
// journal, one journal entry with the matching priority under the identifier
// "tgw-mobile-tool" (`journalctl --user -t tgw-mobile-tool`). The console
// lines on standard output are not touched.
#pragma once

#include <QString>
#include <QtGlobal>

namespace tgw {

// Installs the message handler; call once, early in main().
void installLogHandler();

// Writes the tgw.* categories' messages from `minimum` up (debug, info,
// warning, critical); QT_LOGGING_RULES still overrides this.
void setDiagnosticLevel(QtMsgType minimum);

// Whether messages also go to the journal (decided by installLogHandler()).
bool logsToJournal();

// Puts `message` in the journal only, for a line the program already writes
// to standard error in a format of its own (a configuration error that stops
// the start); nothing when there is no journal or standard error goes to it.
void journalOnly(QtMsgType type, const char* category, const QString& message);

}  // namespace tgw
