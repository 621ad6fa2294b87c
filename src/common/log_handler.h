// Where the diagnostic log goes: every Qt log message (the tgw.* categories of
// common/diagnostics.h and Qt's own) becomes one line with time, level and
// category on standard error, and, in a desktop session with a systemd
// journal, one journal entry with the matching priority under the identifier
// "tgw-mobile-tool" (`journalctl --user -t tgw-mobile-tool`). The console
// lines on standard output are not touched.
#pragma once

#include <QtGlobal>

namespace tgw {

// Installs the message handler; call once, early in main().
void installLogHandler();

// Writes the tgw.* categories' messages from `minimum` up (debug, info,
// warning, critical); QT_LOGGING_RULES still overrides this.
void setDiagnosticLevel(QtMsgType minimum);

// Whether messages also go to the journal (decided by installLogHandler()).
bool logsToJournal();

}  // namespace tgw
