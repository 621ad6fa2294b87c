#include "ui/terminal.h"

namespace tgw::ui {

void printTo(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    fflush(stream);
}

void printError(const QString& line) {
    printTo(stderr, "tgw-mobile-tool: " + line + "\n");
}

}  // namespace tgw::ui
