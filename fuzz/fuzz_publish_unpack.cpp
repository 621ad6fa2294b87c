// A received PUBLISH decoded: first byte the header, the rest its body (the
// remaining length is made to fit).
#include <cstddef>
#include <cstdint>

#include "mqtt/codec/decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const auto length = tgw::mqtt::encodeRemainingLength(static_cast<uint32_t>(size - 1));
    if (!length) return 0;
    tgw::mqtt::Bytes packet{data[0]};
    packet.insert(packet.end(), length->begin(), length->end());
    packet.insert(packet.end(), data + 1, data + size);
    const auto d = tgw::mqtt::decodePublish(packet);
    if (d.status == tgw::mqtt::DecodeStatus::needMore) __builtin_trap();  // the packet is whole
    if (d.ok()) {
        // What was cut out must add up to what came in.
        const auto& m = d.packet->message;
        const size_t idBytes = m.qos() == tgw::mqtt::MqttQos::qos0 ? 0 : 2;
        if (d.consumed != packet.size() ||
            2 + m.topic().size() + idBytes + m.payload().size() != size - 1)
            __builtin_trap();
    }
    return 0;
}
