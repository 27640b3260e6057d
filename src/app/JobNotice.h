#pragma once
// Telling the user that a job has ended while the window was in the background: a desktop
// notification (freedesktop Notifications over the session D-Bus, sent without waiting for an
// answer; skipped when there is no bus or Qt was built without D-Bus). UI thread only.
#include <QString>
#include <QStringList>
#include <QVariantList>

// The summary and body of the notice for a job's verdict.
struct JobNoticeText {
    QString summary;
    QString body;
};
// succeeded: the verdict; target: the file's path; reasons: why it failed, if it did.
JobNoticeText NoticeText(bool succeeded, const QString& target, const QStringList& reasons);

// The arguments of org.freedesktop.Notifications.Notify for a notice.
QVariantList NotifyArguments(const JobNoticeText& text);

// Sends the notice; false when there is no session bus to send it on.
bool SendDesktopNotice(const JobNoticeText& text);
