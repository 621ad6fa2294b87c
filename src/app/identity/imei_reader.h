// Reading an Android phone's IMEIs through the phone's subscriber-information
// service: which `service call iphonesubinfo ...` lines to try for each SIM
// slot on each Android release, the decoding of the Parcel text that the
// phone's `service` tool prints, and the IMEI check. Pure: the caller runs each
// command `ImeiQuery` asks for and hands back what it printed.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "app/identity/phone_identity.h"

namespace tgw::app {

// 15 decimal digits whose Luhn check digit is right.
bool isImei(const QString& text);

// What one `service call` answered: the string the call returned, or why
// there is none (`refusal` when the phone threw, with its own message).
struct ParcelAnswer {
    std::optional<QString> text;
    QString failure;
    bool refusal = false;
};

// Decodes "Result: Parcel(...)" as printed by the phone's service tool: the
// hex words (little-endian 32-bit) of a reply holding an exception code (0, or
// after a strict-mode reply header) and a UTF-16 string, or an exception code
// with its message, or "Error: 0x... "..."", or NULL.
ParcelAnswer readParcelString(const QString& serviceOutput);

// Asks for one IMEI per SIM slot, trying the calls known for the phone's
// release in turn until one gives an IMEI. Codes per release:
//   SDK 30+ (Android 11+): getDeviceIdForPhone = 4, getDeviceId(package) = 1
//   SDK 22-29 (5.1 to 10):  getDeviceIdForPhone = 3, getDeviceId(package) = 1
//   SDK 21 and unknown:     getDeviceId = 1
// each with the shell's package as the calling package, and the bare
// `service call iphonesubinfo 1` last for the first slot.
class ImeiQuery {
  public:
    // `slotCount`: the phone's SIM slots when it tells them, else two are tried and
    // a second slot that answers the first slot's IMEI is taken as absent.
    ImeiQuery(std::optional<int> sdk, std::optional<int> slotCount);

    // The words to run after `adb shell` next, or none when the query is done.
    std::optional<QStringList> nextCommand() const;
    // The text the last command printed.
    void took(const QString& output);

    // The IMEIs found (in slot order), or the reason named as unread "imei".
    void fill(PhoneIdentity& identity) const;

  private:
    struct Slot {
        int index;
        std::vector<QStringList> calls;
    };
    std::vector<Slot> m_slots;
    size_t m_slot = 0;
    size_t m_call = 0;
    QStringList m_imeis;
    QString m_refusal;  // the phone's first refusal, the most telling reason
    QString m_failure;  // else the first other failure
};

}  // namespace tgw::app
