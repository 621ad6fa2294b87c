#include "common/diagnostics.h"

Q_LOGGING_CATEGORY(lcConnection, "tgw.connection", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLogin, "tgw.login", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTools, "tgw.tools", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDevices, "tgw.devices", QtInfoMsg)
Q_LOGGING_CATEGORY(lcConfig, "tgw.config", QtInfoMsg)
