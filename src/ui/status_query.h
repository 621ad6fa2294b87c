// `--status`: asks the agent running for this user, over its local socket,
// for its state and prints it, for a person or as one JSON object. Needs no
// display and no application object; gives up after half a second.
#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>

namespace tgw::ui {

// Exit codes of `--status`.
inline constexpr int kStatusConnected = 0;
inline constexpr int kStatusNotConnected = 3;
inline constexpr int kStatusNoAgent = 4;
inline constexpr int kStatusNoAnswer = 1;

// The running agent's status from the socket at `socketPath`; none when no
// agent listens there or it gave no answer (`listening` tells which).
std::optional<QJsonObject> queryStatus(const QString& socketPath, bool* listening = nullptr,
                                       int timeoutMs = 450);

// The status as lines for a person.
QString describeStatus(const QJsonObject& status);

// Asks, prints to standard output (JSON when `json`), returns the exit code.
int printStatus(const QString& socketPath, bool json);

}  // namespace tgw::ui
