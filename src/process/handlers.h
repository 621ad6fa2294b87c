// The callbacks through which a launch reports back, and the standard input
// handed to the output handler. Every callback runs on the launching thread's
// event loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tgw::process {

// The standard input of a running process, handed to the output handler.
class ProcessInput {
  public:
    using Writer = std::function<bool(std::string_view)>;
    ProcessInput(Writer write, std::function<void()> close)
        : m_write(std::move(write)), m_close(std::move(close)) {}
    // False when the process is gone or its input closed.
    bool write(std::string_view bytes) { return m_write(bytes); }
    void close() { m_close(); }

  private:
    Writer m_write;
    std::function<void()> m_close;
};

// Each piece is what one read returned, as valid UTF-8 text: bytes that are not
// valid UTF-8 arrive as U+FFFD each, and a character cut by a read boundary is
// completed from the next read, so the text around them and any end marker
// survive.
using OutputHandler = std::function<void(const std::string& piece, ProcessInput* input)>;
// The standard error's pieces, for a caller that wants them apart from the
// output ("errorput": the error stream's counterpart of output).
using ErrorputHandler = std::function<void(const std::string& piece)>;
// The exit code; for a process ended by a signal, the signal's number.
using TerminateHandler = std::function<void(int32_t status)>;

}  // namespace tgw::process
