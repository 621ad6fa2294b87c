#include "app/identity/phone_identity.h"

#include <array>

#include "app/protocol/mqtt_api.h"

namespace tgw::app {

namespace {

class ObjectWriter {
  public:
    explicit ObjectWriter(std::string& out) : m_out(out) { m_out += '{'; }
    ~ObjectWriter() { m_out += '}'; }

    void key(std::string_view name) {
        if (!m_first) m_out += ',';
        m_first = false;
        m_out += jsonString(name);
        m_out += ':';
    }
    void text(std::string_view name, const QString& value) {
        key(name);
        m_out += jsonString(value.toStdString());
    }
    void text(std::string_view name, const std::optional<QString>& value) {
        if (value) text(name, *value);
    }
    void number(std::string_view name, const std::optional<int>& value) {
        if (!value) return;
        key(name);
        m_out += std::to_string(*value);
    }
    void boolean(std::string_view name, const std::optional<bool>& value) {
        if (!value) return;
        key(name);
        m_out += *value ? "true" : "false";
    }

  private:
    std::string& m_out;
    bool m_first = true;
};

bool hasAny(const PhoneBattery& b) {
    return b.levelPercent || b.healthPercent || b.cycleCount || b.designCapacityMah ||
           b.fullChargeCapacityMah || b.charging;
}

// The order in which unread members are written, the order of the record.
constexpr std::array kMemberOrder = {"model",
                                     "manufacturer",
                                     "os_version",
                                     "serial_number",
                                     "imei",
                                     "battery",
                                     "level_percent",
                                     "health_percent",
                                     "cycle_count",
                                     "design_capacity_mah",
                                     "full_charge_capacity_mah",
                                     "charging"};

}  // namespace

std::string writeIdentity(const PhoneIdentity& identity) {
    const bool android = identity.platform == PhoneIdentity::Platform::android;
    std::string out;
    {
        ObjectWriter o(out);
        o.text("type", QStringLiteral("identity"));
        o.text("id", identity.requestId);
        o.text("platform", android ? QStringLiteral("android") : QStringLiteral("apple"));
        o.text(android ? "serial" : "udid", identity.id);
        o.text("state", identity.state);
        o.text("model", identity.model);
        o.text("manufacturer", identity.manufacturer);
        o.text("os_version", identity.osVersion);
        o.text("serial_number", identity.serialNumber);
        if (!identity.imei.isEmpty()) {
            o.key("imei");
            out += '[';
            for (qsizetype i = 0; i < identity.imei.size(); ++i) {
                if (i > 0) out += ',';
                out += jsonString(identity.imei[i].toStdString());
            }
            out += ']';
        }
        if (hasAny(identity.battery)) {
            const PhoneBattery& b = identity.battery;
            o.key("battery");
            ObjectWriter bo(out);
            bo.number("level_percent", b.levelPercent);
            bo.number("health_percent", b.healthPercent);
            bo.number("cycle_count", b.cycleCount);
            bo.number("design_capacity_mah", b.designCapacityMah);
            bo.number("full_charge_capacity_mah", b.fullChargeCapacityMah);
            bo.boolean("charging", b.charging);
        }
        if (!identity.unread.isEmpty()) {
            o.key("unread");
            ObjectWriter uo(out);
            for (const char* member : kMemberOrder) {
                const auto it = identity.unread.constFind(QLatin1String(member));
                if (it != identity.unread.cend()) uo.text(member, it.value());
            }
        }
    }
    return out;
}

}  // namespace tgw::app
