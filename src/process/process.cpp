#include "process/process.h"

#include "process/internal/group_records.h"
#include "process/internal/launch.h"
#include "process/internal/running_launch.h"
#include "process/privileged_launch.h"

namespace tgw::process {

std::shared_ptr<Process> Process::create() {
    return std::shared_ptr<Process>(new Process());
}

std::shared_ptr<Process> Process::initWith(const QString& scriptName, const Bundle* bundle) {
    const Bundle& b = bundle ? *bundle : Bundle::mainBundle();
    const auto path = b.pathForResource(scriptName);
    if (!path) {
        throw SlarderError(SlarderError::Kind::ScriptNotFound,
                           (scriptName + " Not Found in " + Bundle::className()).toStdString());
    }
    auto process = create();
    process->setLaunchPath(*path);
    return process;
}

Slarder Process::sd() {
    return Slarder(shared_from_this());
}

void Process::stop() {
    RunningLaunch::stop(m_launchId);
}

void stopAllProcesses() {
    RunningLaunch::stopAll();
}

int endOrphanedLaunches(const QString& runtimeFolder) {
    return endLeftBehindGroups(runtimeFolder + "/tgw-mobile-tool");
}

void Slarder::launchAsyncWith(bool sudo, OutputHandler outputHandler,
                              ErrorputHandler errorputHandler, TerminateHandler terminateHandler) {
    if (sudo) {
        m_base->m_launchId =
            launchPrivileged(m_base->launchPath(), m_base->arguments(), std::move(outputHandler),
                             std::move(terminateHandler));
        return;
    }
    m_base->m_launchId = startLaunch(m_base, std::move(outputHandler), std::move(errorputHandler),
                                     std::move(terminateHandler), false);
}

void Slarder::launchWith(bool sudo, OutputHandler outputHandler, ErrorputHandler errorputHandler,
                         TerminateHandler terminateHandler) {
    if (sudo) {
        m_base->m_launchId =
            launchPrivileged(m_base->launchPath(), m_base->arguments(), std::move(outputHandler),
                             std::move(terminateHandler));
        return;
    }
    m_base->m_launchId = startLaunch(m_base, std::move(outputHandler), std::move(errorputHandler),
                                     std::move(terminateHandler), true);
}

}  // namespace tgw::process
