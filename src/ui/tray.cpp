#include "ui/tray.h"

#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

namespace tgw::ui {

namespace {

constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128};

QColor badgeColour(TrayLook look) {
    switch (look) {
        case TrayLook::connected: return QColor(0x2e, 0x7d, 0x32);
        case TrayLook::noPhone: return QColor(0x75, 0x75, 0x75);
        case TrayLook::busy: return QColor(0xef, 0x8f, 0x00);
        case TrayLook::attention: return QColor(0xc6, 0x28, 0x28);
    }
    return Qt::black;
}

// A filled circle in `box` with the look's sign in white: a check for
// connected, "!" for attention.
void drawBadge(QPainter& painter, const QRectF& box, TrayLook look) {
    const qreal d = box.width();
    painter.setPen(QPen(Qt::white, qMax(1.0, d / 10.0)));
    painter.setBrush(badgeColour(look));
    painter.drawEllipse(box);
    QPen sign(Qt::white, qMax(1.2, d / 7.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(sign);
    painter.setBrush(Qt::NoBrush);
    const QPointF c = box.center();
    if (look == TrayLook::connected) {
        QPainterPath check;
        check.moveTo(c + QPointF(-d * 0.22, 0));
        check.lineTo(c + QPointF(-d * 0.05, d * 0.17));
        check.lineTo(c + QPointF(d * 0.24, -d * 0.16));
        painter.drawPath(check);
    } else if (look == TrayLook::attention) {
        painter.drawLine(c + QPointF(0, -d * 0.24), c + QPointF(0, d * 0.06));
        painter.drawPoint(c + QPointF(0, d * 0.24));
    }
}

// The phone without its check mark, which only the green badge carries.
void drawPhone(QPainter& painter, QSvgRenderer& svg, int size) {
    const qreal scale = size / svg.viewBoxF().width();
    const QRectF bounds = svg.boundsOnElement(QStringLiteral("phone"));
    svg.render(&painter, QStringLiteral("phone"),
               QRectF(bounds.topLeft() * scale, bounds.size() * scale));
}

// The packaged drawing at each icon size, drawn by `draw` on a clear pixmap.
template <typename Draw>
QIcon drawnIcon(Draw draw) {
    QSvgRenderer svg(QStringLiteral(":/io.tgw.MobileTool.svg"));
    QIcon icon;
    for (int size : kSizes) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        draw(painter, svg, size);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

QString trayToolTip(const QString& status, const QString& email, const QStringList& phones) {
    QStringList parts{QStringLiteral("TGW Mobile Tool"),
                      status.isEmpty() ? text::loggedOut : status};
    if (!email.isEmpty()) parts << email;
    parts << phones;
    return parts.join(QLatin1Char('\n'));
}

QIcon programIcon() {
    return drawnIcon([](QPainter& painter, QSvgRenderer& svg, int) { svg.render(&painter); });
}

QIcon trayIcon(TrayLook look) {
    return drawnIcon([look](QPainter& painter, QSvgRenderer& svg, int size) {
        drawPhone(painter, svg, size);
        const qreal d = size * 0.5;
        drawBadge(painter, QRectF(size - d - 0.5, size - d - 0.5, d, d), look);
    });
}

QPixmap stateMark(TrayLook look, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    drawBadge(painter, QRectF(1, 1, size - 2, size - 2), look);
    return pixmap;
}

Tray::Tray(ViewController& window) : m_window(window), m_notifier(m_icon) {
    m_stateLine = m_menu.addAction(QString());
    m_stateLine->setEnabled(false);
    m_menu.addSeparator();
    m_menu.addAction(QStringLiteral("Venster tonen"), this, &Tray::showWindow);
    m_reconnect = m_menu.addAction(text::reconnectNow, &m_window, &ViewController::reconnectNow);
    m_logOut = m_menu.addAction(QStringLiteral("Afmelden"), this, [this] {
        m_window.logOut();
        showWindow();  // the empty form
    });
    m_menu.addSeparator();
    m_menu.addAction(QStringLiteral("Afsluiten"), &m_window, [this] {
        if (m_window.confirmQuit()) m_window.quit("the tray menu");
    });
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
    QObject::connect(&m_window, &ViewController::notificationRequested, this,
                     [this](const QString& text) { m_notifier.notify(text); });
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
    const TrayLook look = m_window.look();
    if (look != m_look) {  // drawing the icon takes an SVG at several sizes
        m_look = look;
        m_icon.setIcon(trayIcon(look));
    }
    QString status = shown.status.isEmpty() ? text::loggedOut : shown.status;
    if (look == TrayLook::noPhone) status += QStringLiteral(" Nog geen telefoon gereed.");
    if (!m_window.sinceText().isEmpty()) status += " (" + m_window.sinceText() + ")";
    m_stateLine->setText(status);
    m_reconnect->setVisible(shown.canRetryNow);
    m_logOut->setVisible(shown.loggedIn);
    m_icon.setToolTip(trayToolTip(status, m_window.accountEmail(), m_window.devicePresence()));
}

}  // namespace tgw::ui
