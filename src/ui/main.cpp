// The agent: one controller, one login window, the event loop.
#include <QApplication>

#include "app/app_delegate.h"
#include "ui/view_controller.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tgw-mobile-tool"));
    QGuiApplication::setDesktopFileName(QStringLiteral("io.tgw.MobileTool"));
    tgw::app::AppDelegate appDelegate;
    tgw::ui::ViewController window(appDelegate);
    window.show();
    return QApplication::exec();
}
