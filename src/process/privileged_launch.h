// Launching a program with administrator rights: `<elevator> <launch path>
// <arguments...>` (pkexec by default) with one socket as the program's standard
// input and output. The desktop's polkit agent asks for the credentials; the
// launch does not block while it does. The elevator runs in a session (process
// group) of its own, so stopping the launch signals everything it started;
// what runs as root can only be reached by that signal if the system allows it.
//
// What the caller sees: the program's output arrives through the output
// handler and its end through the terminate handler, found by polling the
// elevator's pid every 0.05 s: its exit code, or the number of the signal that
// ended it, reported once the channel has been read to its end (or a process
// left behind has held it open for a second past the end). When the elevator
// exits 126 (dialog dismissed) or 127 (not authorized, or no polkit authority)
// without any output having come through, the runner also writes one console
// line saying administrator rights were not granted; the terminate handler
// still gets that status.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

#include "process/handlers.h"
#include "process/slarder_error.h"

namespace tgw::process {

// The elevation program, found on PATH unless absolute. Defaults to "pkexec";
// $TGW_ELEVATOR overrides it (tests use a stand-in that execs its arguments).
QString elevationProgram();
void setElevationProgram(QString program);

struct PrivilegedChannel {
    int fd;   // our end of the socket: read the output, write the input
    int pid;  // the elevator's process id, to poll with waitpid
};

// authorLanuch (spelled so on purpose: it is the name this operation has
// throughout the system) starts `launchPath` with `arguments` with
// administrator rights. Throws SlarderAuthorError when the elevator is missing
// or cannot be spawned.
PrivilegedChannel authorLanuch(const QString& launchPath, const QStringList& arguments);

// The runner's privileged launch. Returns the id of the running launch, for
// stopping it; on failure writes one line, calls nothing and returns 0.
uint64_t launchPrivileged(const QString& launchPath, const QStringList& arguments,
                          OutputHandler output, TerminateHandler terminate);

}  // namespace tgw::process
