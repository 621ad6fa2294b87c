// The agent on the desktop, once the command line and the configuration are
// settled: the application object, the controller, the window, the tray, the
// signals and the end of the session; and the start-up errors a technician
// must see.
#pragma once

#include <QString>

#include "app/config/config.h"
#include "ui/single_instance.h"

namespace tgw::ui {

// Why no window can be shown ("no display: ..."), or empty when one can.
QString missingDisplay();

// A setting that stops the start: one line on standard error (through the
// diagnostic log, so also in the journal, when there is one) and, when there
// is a display, in a message box. Returns the exit status, 2.
int reportStartError(int& argc, char** argv, const QString& line);

struct DesktopOptions {
    bool hidden = false;  // start in the tray; the window only when needed
};

// Runs the agent until it quits; `instance` has been claimed. The exit status.
int runDesktop(int& argc, char** argv, const app::Config& config, SingleInstance& instance,
               DesktopOptions options);

}  // namespace tgw::ui
