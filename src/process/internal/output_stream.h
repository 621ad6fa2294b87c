// OutputStream: our read end of one output stream of a launched program (a
// pipe, or the privileged channel), read whenever it is readable and decoded
// into pieces of UTF-8 text. Internal to the process runner.
#pragma once

#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "process/internal/piece_decoder.h"

namespace tgw::process {

// The console line that notes, once per launch after the program's name, that
// its output was not all UTF-8.
inline constexpr const char* kNotUtf8Note =
    " wrote bytes that are not UTF-8; each was replaced by U+FFFD";

class OutputStream {
  public:
    using PieceHandler = std::function<void(const std::string& piece)>;

    // Takes `fd` over (made non-blocking, closed by the stream). `onPiece` gets
    // every piece; `onEnd` is called once when the writers have all closed it.
    OutputStream(int fd, PieceHandler onPiece, std::function<void()> onEnd);
    ~OutputStream();
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    // Reads what the stream holds now (up to 1 MiB), through to its end when
    // its writers have closed it.
    void drain();
    // Stops reading and closes the read end; a held-back fragment of a
    // character is handed on as U+FFFD. The end is not reported.
    void close();
    bool atEnd() const { return m_fd < 0; }
    bool replacedAny() const { return m_decoder.replacedAny(); }
    int fd() const { return m_fd; }

    // One non-blocking read for a caller that polls the descriptor itself:
    // the decoded piece, if any; at the end of the stream `ended` is set (and
    // onEnd is called as usual).
    std::optional<std::string> readPiece(bool* ended);

  private:
    enum class Read { data, nothing, end };
    // One read into `piece`; at the end the read end is closed (onEnd is left
    // to the caller, after it has handed on the piece).
    Read readInto(std::optional<std::string>* piece);
    // One read, handed on: false when nothing more can be read now.
    bool readOnce();
    void deliver(const std::optional<std::string>& piece);
    void closeFd();

    int m_fd;
    PieceHandler m_onPiece;
    std::function<void()> m_onEnd;
    PieceDecoder m_decoder;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace tgw::process
