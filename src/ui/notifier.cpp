#include "ui/notifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <QDebug>

namespace tgw::ui {

void Notifier::notify(const QString& text) {
    const QString title = QStringLiteral("TGW Mobile Tool");
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusConnectionInterface* names = bus.isConnected() ? bus.interface() : nullptr;
    if (!names || !names->isServiceRegistered(QString::fromLatin1(kService))) {
        if (m_icon.isVisible()) m_icon.showMessage(title, text, m_icon.icon());
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kService),
                                       QStringLiteral("/org/freedesktop/Notifications"),
                                       QString::fromLatin1(kService), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("io.tgw.MobileTool"));
    call << title << m_lastId << QStringLiteral("io.tgw.MobileTool") << title << text
         << QStringList() << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), &m_context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [this](QDBusPendingCallWatcher* w) {
                         const QDBusPendingReply<uint> reply = *w;
                         if (reply.isError())
                             qWarning().noquote()
                                 << "the notification was not shown:" << reply.error().message();
                         else
                             m_lastId = reply.value();
                         w->deleteLater();
                     });
}

}  // namespace tgw::ui
