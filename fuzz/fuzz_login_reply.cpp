// The web service's login reply with its HTTP status: the first input byte
// picks the status, the rest is the body.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/login/login_client.h"
#include "app/login/user_connection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static constexpr int kStatuses[] = {200, 201, 204, 301, 302, 307, 308, 400,
                                        401, 403, 404, 429, 500, 502, 503, 599};
    if (size == 0) return 0;
    const int status = kStatuses[data[0] % std::size(kStatuses)];
    const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
    using tgw::app::LoginClient;
    const auto result = LoginClient::judgeReply(status, body, [](const std::string&) {});
    const bool success = status >= 200 && status < 300;
    if (result.outcome == LoginClient::Outcome::accepted && !success) __builtin_trap();
    if (result.broker && result.outcome != LoginClient::Outcome::accepted) __builtin_trap();
    if (const auto user = tgw::app::UserConnection::decode(body)) {
        (void)user->prefixIsUsable();
        (void)user->description();
    }
    return 0;
}
