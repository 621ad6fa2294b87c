#include "mqtt/codec/bytes.h"

namespace tgw::mqtt {

Bytes hlBytes(uint16_t v) {
    return Bytes{highByte(v), lowByte(v)};
}

void appendHlBytes(Bytes& out, uint16_t v) {
    out.push_back(highByte(v));
    out.push_back(lowByte(v));
}

Bytes bytesWithLength(std::string_view s) {
    Bytes out;
    appendBytesWithLength(out, s);
    return out;
}

void appendBytesWithLength(Bytes& out, std::string_view s) {
    if (s.size() > 0xFFFF) {
        throw MqttEncodeError("text of " + std::to_string(s.size()) +
                              " bytes does not fit a 16-bit length prefix");
    }
    out.reserve(out.size() + 2 + s.size());
    appendHlBytes(out, static_cast<uint16_t>(s.size()));
    appendBytes(out, s);
}

}  // namespace tgw::mqtt
