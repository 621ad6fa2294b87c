// What the program writes for the person who started it from a terminal:
// whole texts, in the locale's encoding, flushed at once.
#pragma once

#include <QString>
#include <cstdio>

namespace tgw::ui {

// The exit status of a start that cannot go on: a bad option or setting, no display.
constexpr int kStartError = 2;

void printTo(std::FILE* stream, const QString& text);

// "tgw-mobile-tool: <line>" on standard error.
void printError(const QString& line);

}  // namespace tgw::ui
