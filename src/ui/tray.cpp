#include "ui/tray.h"

#include <QPainter>
#include <QSvgRenderer>

namespace tgw::ui {

QString trayToolTip(const QString& status, const QString& email, const QStringList& phones) {
    QStringList parts{QStringLiteral("TGW Mobile Tool"),
                      status.isEmpty() ? QStringLiteral("Niet aangemeld") : status};
    if (!email.isEmpty()) parts << email;
    if (!phones.isEmpty()) parts << phones.join(QStringLiteral(", "));
    return parts.join(QStringLiteral(" - "));
}

QIcon trayIcon(TrayLook look) {
    QColor badge;
    switch (look) {
        case TrayLook::connected: badge = QColor(0x2e, 0x7d, 0x32); break;
        case TrayLook::busy: badge = QColor(0xf9, 0xa8, 0x25); break;
        case TrayLook::attention: badge = QColor(0xc6, 0x28, 0x28); break;
    }
    QSvgRenderer svg(QStringLiteral(":/io.tgw.MobileTool.svg"));
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter);
        const qreal d = size * 0.45;
        painter.setPen(QPen(Qt::white, qMax(1.0, size / 16.0)));
        painter.setBrush(badge);
        painter.drawEllipse(QRectF(size - d - 0.5, size - d - 0.5, d, d));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

Tray::Tray(ViewController& window) : m_window(window) {
    m_menu.addAction(QStringLiteral("Venster tonen"), this, &Tray::showWindow);
    m_menu.addAction(QStringLiteral("Afmelden"), this, [this] {
        m_window.logOut();
        showWindow();  // the empty form
    });
    m_menu.addSeparator();
    m_menu.addAction(QStringLiteral("Afsluiten"), &m_window,
                     [this] { m_window.quit("the tray menu"); });
    m_icon.setContextMenu(&m_menu);
    QObject::connect(&m_icon, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason != QSystemTrayIcon::Trigger) return;
                         if (m_window.isVisible() && !m_window.isMinimized())
                             m_window.hide();
                         else
                             showWindow();
                     });
    QObject::connect(&m_window, &ViewController::stateShown, this, &Tray::update);
    QObject::connect(
        &m_window, &ViewController::notificationRequested, this, [this](const QString& text) {
            if (m_icon.isVisible())
                m_icon.showMessage(QStringLiteral("TGW Mobile Tool"), text, m_icon.icon());
        });
    update();
}

void Tray::show() {
    m_window.setClosingHides(true);
    m_icon.show();
}

void Tray::showWindow() {
    m_window.setWindowState(m_window.windowState() & ~Qt::WindowMinimized);
    m_window.show();
    m_window.raise();
    m_window.activateWindow();
}

void Tray::update() {
    const ShownState& shown = m_window.shown();
    if (shown.look != m_look) {  // drawing the icon takes an SVG at six sizes
        m_look = shown.look;
        m_icon.setIcon(trayIcon(shown.look));
    }
    m_icon.setToolTip(
        trayToolTip(shown.status, m_window.accountEmail(), m_window.devicePresence()));
}

}  // namespace tgw::ui
