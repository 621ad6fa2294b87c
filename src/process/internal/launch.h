// Starting a launch without administrator rights. Internal to the process
// runner.
#pragma once

#include <cstdint>
#include <memory>

#include "process/handlers.h"

namespace tgw::process {

class Process;

// Starts `process` in a session of its own and reports through the handlers
// (see Slarder). `blocking`: standard input stays the caller's own, and one
// piece of each stream is handed on before this returns, later ones are
// dropped. Returns the id of the running launch, for stopping it. Throws
// SlarderError LaunchFailed; nothing is called then.
uint64_t startLaunch(const std::shared_ptr<Process>& process, OutputHandler output,
                     ErrorputHandler error, TerminateHandler terminate, bool blocking);

}  // namespace tgw::process
