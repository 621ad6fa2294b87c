// The web service's login reply.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ui/user_connection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto user = tgw::ui::UserConnection::decode(
        std::string_view(reinterpret_cast<const char*>(data), size));
    if (user) {
        (void)user->prefixIsUsable();
        (void)user->description();
    }
    return 0;
}
