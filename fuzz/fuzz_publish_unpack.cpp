// A received PUBLISH cut apart: first byte the header, the rest its data.
#include <cstddef>
#include <cstdint>

#include "mqtt/codec/frame_publish.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    tgw::mqtt::MqttFramePublish frame(data[0], tgw::mqtt::Bytes(data + 1, data + size));
    const bool whole = frame.unpack();
    if (whole != frame.msgid().has_value()) __builtin_trap();
    if (whole && frame.topic()) {
        // What was cut out must add up to what came in.
        const size_t idBytes = frame.qos() == 0 ? 0 : 2;
        if (2 + frame.topic()->size() + idBytes + frame.payload().size() != size - 1)
            __builtin_trap();
    }
    return 0;
}
