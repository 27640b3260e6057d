#include "app/JobNotice.h"

#include <QFileInfo>
#include <QVariantMap>

#ifdef BRINDLE_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#endif

JobNoticeText NoticeText(bool succeeded, const QString& target, const QStringList& reasons) {
    const QString name = QFileInfo(target).fileName();
    if (succeeded)
        return {"Download complete", name + " is saved in " + QFileInfo(target).absolutePath()};
    QString body = name + ": the job failed";
    if (!reasons.isEmpty()) body += "\n" + reasons.join("\n");
    return {"Download failed", body};
}

QVariantList NotifyArguments(const JobNoticeText& text) {
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the
    // server's default).
    return {QString("Brindle"), 0u,        QString("org.brindle.Brindle"),
            text.summary,       text.body, QStringList(),
            QVariantMap(),      -1};
}

bool SendDesktopNotice(const JobNoticeText& text) {
#ifdef BRINDLE_HAVE_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                       "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    call.setArguments(NotifyArguments(text));
    // No reply is awaited: a desktop without a notification server must not hold the window.
    return bus.send(call);
#else
    (void)text;
    return false;
#endif
}
