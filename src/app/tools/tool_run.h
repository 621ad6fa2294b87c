// ToolRun: one run of one device tool, from its start until its process has
// ended. It collects what the tool writes (standard error merged) and gives
// the run's result exactly once:
//  - with an end marker: the output up to the piece that holds one of the
//    marker set's texts; without one: the whole output and the exit status
//    once the tool has ended;
//  - an error when the tool cannot start, writes more than the output cap,
//    does not finish within the time limit, or ends before its end marker
//    (what it wrote may then be cut anywhere: a phone unplugged mid-answer
//    leaves adb's shell exiting 0).
// A tool that goes on after its result is read until it ends; it is stopped
// when it passes the cap or the time limit. Every process launch of the app
// goes through here.
//
// The handlers run on the event loop; only a tool that cannot be started is
// answered inside start(). The owner of a ToolRun may destroy it at any time,
// also inside a handler: the tool is then stopped and no handler follows.
// Lives on the main thread.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/tools/collection_buffer.h"

namespace tgw::process {
class Bundle;
}

namespace tgw::app {

class ToolRun {
  public:
    struct Job {
        // The program: a resource of `bundle` (the main bundle when none),
        // else `launchPath` as it is.
        QString resource;
        const process::Bundle* bundle = nullptr;
        QString launchPath;
        QStringList arguments;
        std::string tool;  // the program that does the work, for error texts
        std::optional<MarkerSet> endMarker;
        std::chrono::milliseconds timeLimit{120'000};
        size_t outputCap = 16 << 20;
    };

    enum class Outcome {
        completed,   // the end marker arrived
        exited,      // no end marker: the tool ended; `status` says how
        notStarted,  // `error` says why
        cut,         // the tool wrote more than the cap and was stopped
        timedOut,    // the tool was stopped at the time limit
        endedEarly,  // the tool ended before its end marker
    };

    struct Result {
        Outcome outcome = Outcome::notStarted;
        int32_t status = -1;  // exited, endedEarly: the exit status
        // For every outcome but completed and exited: "error: ..." in one line.
        std::string error;
        // What the tool wrote, at most the cap and never cut inside a UTF-8
        // sequence; up to and including the marker's piece when completed.
        std::string output;

        // The result's text as a device query answers it: the output, after
        // the error line when there is one.
        std::string takeData();
    };

    struct Handlers {
        // Each piece of output as it arrives, until the output is closed (cut
        // or timed out); optional.
        std::function<void(const std::string& piece)> piece;
        // The result, once.
        std::function<void(Result result)> result;
        // The tool's process has ended, with what it wrote after the result
        // (none once the output was closed). When the end gives the result, it
        // is called just before it. Not called for a tool that did not start.
        std::function<void(int32_t status, const std::string& unread)> ended;
    };

    ToolRun(Job job, Handlers handlers);
    // Stops the tool if it still runs; no handler follows.
    ~ToolRun();
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;

    // Starts the tool and its time limit. Once. A tool that cannot be started
    // gives its result (notStarted) before this returns.
    void start();
    // Stops the tool and gives no result any more; `ended` still follows.
    void cancel();
    // Its result given (or cancelled) and its process ended or never started:
    // nothing more happens.
    bool isOver() const;

    // Stops every running tool, of every run, and waits until they are gone
    // (about one second at most): for quitting, so that no tool outlives the
    // program. Their `ended` handlers may run before it returns.
    static void stopAll();

  private:
    struct State;
    std::shared_ptr<State> m_state;
};

// How the error texts name a size and a duration: "16 MiB", "64 KiB", "1500
// bytes"; "120 s", "1500 ms".
std::string sizeText(size_t bytes);
std::string durationText(std::chrono::milliseconds d);

}  // namespace tgw::app
