#include "app/identity/imei_reader.h"

#include <QRegularExpression>
#include <algorithm>
#include <cstring>

#include "app/identity/android_readers.h"

namespace tgw::app {

namespace {

const QString kShellPackage = QStringLiteral("com.android.shell");

// Exception codes a Java binder reply carries (Parcel.writeException).
QString exceptionName(qint32 code) {
    switch (code) {
        case -1: return QStringLiteral("SecurityException");
        case -2: return QStringLiteral("BadParcelableException");
        case -3: return QStringLiteral("IllegalArgumentException");
        case -4: return QStringLiteral("NullPointerException");
        case -5: return QStringLiteral("IllegalStateException");
        case -6: return QStringLiteral("NetworkOnMainThreadException");
        case -7: return QStringLiteral("UnsupportedOperationException");
        case -8: return QStringLiteral("ServiceSpecificException");
        default: return QStringLiteral("exception %1").arg(code);
    }
}

// Reads the reply's little-endian words and strings in order.
class ParcelReader {
  public:
    explicit ParcelReader(QByteArray bytes) : m_bytes(std::move(bytes)) {}

    std::optional<qint32> int32() {
        if (m_pos + 4 > m_bytes.size()) return std::nullopt;
        const auto* p = reinterpret_cast<const uchar*>(m_bytes.constData() + m_pos);
        m_pos += 4;
        return static_cast<qint32>(quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 |
                                   quint32(p[3]) << 24);
    }
    bool skip(qint64 n) {
        if (n < 0 || m_pos + n > m_bytes.size()) return false;
        m_pos += n;
        return true;
    }
    // A String16: length in UTF-16 units (-1 for null), the units, a NUL, padded
    // to 4. Outer none: the bytes end early; inner none: a null string.
    std::optional<std::optional<QString>> string16() {
        const auto length = int32();
        if (!length) return std::nullopt;
        if (*length == -1) return std::optional<QString>();
        if (*length < 0) return std::nullopt;
        const qint64 bytes = (qint64(*length) + 1) * 2;
        if (m_pos + bytes > m_bytes.size()) return std::nullopt;
        QString text(*length, Qt::Uninitialized);
        std::memcpy(text.data(), m_bytes.constData() + m_pos, size_t(*length) * 2);
        m_pos += (bytes + 3) / 4 * 4;
        return std::optional<QString>(text);
    }

  private:
    QByteArray m_bytes;
    qint64 m_pos = 0;
};

// The bytes of the hex dump: on each line the hex words before the quoted
// characters, each word's bytes printed most significant first.
std::optional<QByteArray> dumpBytes(const QString& dump) {
    static const QRegularExpression offset(QStringLiteral("^0x[0-9a-fA-F]+:"));
    static const QRegularExpression hexWord(QStringLiteral("^(?:[0-9a-fA-F]{2}){1,4}$"));
    QByteArray bytes;
    for (const QString& rawLine : dump.split(QLatin1Char('\n'))) {
        QString line = rawLine.section(QLatin1Char('\''), 0, 0).trimmed();
        line.remove(offset);
        for (const QString& word : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!hexWord.match(word).hasMatch()) return std::nullopt;
            for (qsizetype i = word.size() - 2; i >= 0; i -= 2)
                bytes.append(static_cast<char>(word.mid(i, 2).toUInt(nullptr, 16)));
        }
    }
    return bytes;
}

ParcelAnswer failed(QString why, bool refusal = false) {
    return ParcelAnswer{std::nullopt, std::move(why), refusal};
}

}  // namespace

bool isImei(const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^\\d{15}$"));
    if (!digits.match(text).hasMatch()) return false;
    int sum = 0;
    for (int i = 0; i < 15; ++i) {
        int d = text[14 - i].digitValue();
        if (i % 2 == 1) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
        sum += d;
    }
    return sum % 10 == 0;
}

ParcelAnswer readParcelString(const QString& serviceOutput) {
    const qsizetype start = serviceOutput.indexOf(QLatin1String("Parcel("));
    const qsizetype end = serviceOutput.lastIndexOf(QLatin1Char(')'));
    if (start < 0 || end < start)
        return failed(QStringLiteral("no answer from the service: ") + toolText(serviceOutput));
    const QString body = serviceOutput.mid(start + 7, end - start - 7).trimmed();
    if (body.startsWith(QLatin1String("Error:")))
        return failed(QStringLiteral("the call failed: ") + body.mid(6).trimmed());
    if (body == QLatin1String("NULL"))
        return failed(QStringLiteral("the service has no such call on this phone"));
    const auto bytes = dumpBytes(body);
    if (!bytes) return failed(QStringLiteral("the answer is not a Parcel dump: ") + toolText(body));

    ParcelReader reader(*bytes);
    auto code = reader.int32();
    if (code && *code == -128) {  // strict-mode reply header: its size, then the result
        const auto size = reader.int32();
        if (!size || !reader.skip(*size - 4))
            code.reset();
        else
            code = 0;
    }
    if (!code) return failed(QStringLiteral("the answer ends early"));
    if (*code != 0) {
        const auto message = reader.string16();
        const QString text = message && *message ? **message : QString();
        return failed(
            exceptionName(*code) + (text.isEmpty() ? QString() : QStringLiteral(": ") + text),
            true);
    }
    const auto text = reader.string16();
    if (!text) return failed(QStringLiteral("the answer ends early"));
    if (!*text) return failed(QStringLiteral("the phone answered no value (null)"));
    return ParcelAnswer{**text, QString(), false};
}

ImeiQuery::ImeiQuery(std::optional<int> sdk, std::optional<int> slotCount) {
    const int level = sdk.value_or(0);
    const int forPhone = level >= 30 ? 4 : level >= 22 ? 3 : 0;
    auto call = [](int code, std::optional<int> slot, bool package) {
        QStringList words = {QStringLiteral("service"), QStringLiteral("call"),
                             QStringLiteral("iphonesubinfo"), QString::number(code)};
        if (slot) words << QStringLiteral("i32") << QString::number(*slot);
        if (package) words << QStringLiteral("s16") << kShellPackage;
        return words;
    };
    const int count = forPhone ? std::clamp(slotCount.value_or(2), 1, 4) : 1;
    for (int slot = 0; slot < count; ++slot) {
        Slot s{slot, {}};
        if (forPhone) s.calls.push_back(call(forPhone, slot, true));
        if (slot == 0) {
            s.calls.push_back(call(1, std::nullopt, true));
            s.calls.push_back(call(1, std::nullopt, false));
        }
        m_slots.push_back(std::move(s));
    }
}

std::optional<QStringList> ImeiQuery::nextCommand() const {
    if (m_slot >= m_slots.size()) return std::nullopt;
    return m_slots[m_slot].calls[m_call];
}

void ImeiQuery::took(const QString& output) {
    if (m_slot >= m_slots.size()) return;
    const ParcelAnswer answer = readParcelString(output);
    const QString imei = answer.text ? answer.text->trimmed() : QString();
    bool slotDone = isImei(imei);
    if (slotDone) {
        if (!m_imeis.contains(imei)) m_imeis << imei;
    } else {
        const QString why =
            QStringLiteral("slot %1: %2")
                .arg(m_slots[m_slot].index + 1)
                .arg(answer.text ? QStringLiteral("not an IMEI: \"%1\"").arg(*answer.text)
                                 : answer.failure);
        if (answer.refusal && m_refusal.isEmpty())
            m_refusal = why;
        else if (m_failure.isEmpty())
            m_failure = why;
        slotDone = ++m_call >= m_slots[m_slot].calls.size();
    }
    if (slotDone) {
        ++m_slot;
        m_call = 0;
    }
}

void ImeiQuery::fill(PhoneIdentity& identity) const {
    identity.imei = m_imeis;
    if (!m_imeis.isEmpty()) {
        identity.unread.remove(QStringLiteral("imei"));
        return;
    }
    identity.unread.insert(QStringLiteral("imei"),
                           !m_refusal.isEmpty()   ? m_refusal
                           : !m_failure.isEmpty() ? m_failure
                                                  : QStringLiteral("no IMEI call was answered"));
}

}  // namespace tgw::app
