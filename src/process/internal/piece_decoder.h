// PieceDecoder: turns the reads of one output stream into pieces of UTF-8 text.
// Internal to the process runner.
#pragma once

#include <QString>
#include <QStringDecoder>
#include <cstdint>
#include <optional>
#include <string>

#include "common/utf8.h"

namespace tgw::process {

// Turns reads into pieces of valid UTF-8. A multi-byte character that a read
// boundary cuts in two is held back and completed by the next read. Bytes that
// cannot be part of valid UTF-8 are replaced by U+FFFD (Qt's decoder decides
// how many), so the text around them survives; valid text passes unchanged.
class PieceDecoder {
  public:
    std::optional<std::string> take(const char* bytes, size_t size) {
        std::string data = std::move(m_carry);
        m_carry.clear();
        data.append(bytes, size);
        const size_t cut = incompleteTailStart(data);
        m_carry = data.substr(cut);
        data.resize(cut);
        if (data.empty()) return std::nullopt;
        return repaired(std::move(data));
    }
    // At the end of the stream: a held-back fragment was never completed.
    std::optional<std::string> finish() {
        if (m_carry.empty()) return std::nullopt;
        std::string rest = std::move(m_carry);
        m_carry.clear();
        return repaired(std::move(rest));
    }
    // Whether any byte has been replaced so far.
    bool replacedAny() const { return m_replaced; }

  private:
    std::string repaired(std::string data) {
        if (isValidUtf8(data)) return data;
        m_replaced = true;
        // A byte order mark at the start is text like any other here.
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                         QStringDecoder::Flag::ConvertInitialBom);
        const QByteArray text =
            QString(decoder(QByteArrayView(data.data(), static_cast<qsizetype>(data.size()))))
                .toUtf8();
        return std::string(text.constData(), static_cast<size_t>(text.size()));
    }

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
    bool m_replaced = false;
};

}  // namespace tgw::process
