// Launching a program with administrator rights: `<elevator> <launch path>
// <arguments...>` (pkexec by default) with one socket as the program's standard
// input and output. The desktop's polkit agent asks for the credentials; the
// launch does not block while it does.
//
// What the caller sees: the program's output arrives through the output
// handler and its end through the terminate handler, found by polling the
// elevator's pid every 0.05 s. When the elevator exits 126 (dialog dismissed)
// or 127 (not authorized, or no polkit authority) without any output having
// come through, the runner also writes one console line saying administrator
// rights were not granted; the terminate handler still gets that status.
#pragma once

#include <QString>
#include <memory>

#include "process/process.h"

namespace tgw::process {

// The elevation program, found on PATH unless absolute. Defaults to "pkexec";
// $TGW_ELEVATOR overrides it (tests use a stand-in that execs its arguments).
QString elevationProgram();
void setElevationProgram(QString program);

struct PrivilegedChannel {
    int fd;   // our end of the socket: read the output, write the input
    int pid;  // the elevator's process id, to poll with waitpid
};

// Starts the process's launch path and arguments with administrator rights.
// The process object itself is not started. Throws SlarderAuthorError when the
// elevator is missing or cannot be spawned.
PrivilegedChannel authorLanuch(const Process& process);

// The runner's privileged launch: on failure writes one line and calls nothing.
void launchPrivileged(const std::shared_ptr<Process>& process, OutputHandler output,
                      TerminateHandler terminate);

}  // namespace tgw::process
