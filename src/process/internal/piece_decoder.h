// PieceDecoder: turns the reads of one output stream into pieces of UTF-8 text.
#pragma once

#include <QByteArray>
#include <optional>
#include <string>

#include "common/utf8.h"

namespace tgw::process {

// What a handler receives in place of a piece that is not valid UTF-8.
inline constexpr const char* kNotUtf8Text = "output is not UTF8 String";

// Turns reads into pieces of text. A multi-byte character that a read boundary
// cuts in two is held back and completed by the next read.
class PieceDecoder {
  public:
    std::optional<std::string> take(const QByteArray& bytes) {
        std::string data = std::move(m_carry);
        m_carry.clear();
        data.append(bytes.constData(), static_cast<size_t>(bytes.size()));
        const size_t cut = incompleteTailStart(data);
        m_carry = data.substr(cut);
        data.resize(cut);
        if (data.empty()) return std::nullopt;
        if (!isValidUtf8(data)) return std::string(kNotUtf8Text);
        return data;
    }
    // At the end of the stream: a held-back fragment was never completed.
    std::optional<std::string> finish() {
        if (m_carry.empty()) return std::nullopt;
        m_carry.clear();
        return std::string(kNotUtf8Text);
    }

  private:
    // Where a trailing, still incomplete but so far well-formed sequence starts
    // (data.size() when there is none).
    static size_t incompleteTailStart(const std::string& data) {
        const size_t n = data.size();
        for (size_t back = 1; back <= 3 && back <= n; ++back) {
            const auto c = static_cast<uint8_t>(data[n - back]);
            if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back
            size_t need = 0;
            if (c >= 0xC2 && c <= 0xDF)
                need = 2;
            else if (c >= 0xE0 && c <= 0xEF)
                need = 3;
            else if (c >= 0xF0 && c <= 0xF4)
                need = 4;
            return need > back ? n - back : n;
        }
        return n;
    }

    std::string m_carry;
};

}  // namespace tgw::process
