#include "app/SaveLocation.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include "settings/SettingsFile.h"

namespace {

const char* const kLastFolderKey = "lastFolder";

}  // namespace

QString DownloadFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return folder.isEmpty() ? QDir::homePath() : folder;
}

QString ProposedTarget(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return QString();
    return QDir(DownloadFolder()).filePath(QString::fromStdString(name));
}

QString StateFilePath() {
    return QDir(QString::fromStdString(SettingsDirectory())).filePath("Brindle.state");
}

QString StartFolder() {
    QSettings state(StateFilePath(), QSettings::IniFormat);
    const QString folder = state.value(kLastFolderKey).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : DownloadFolder();
}

void RememberFolder(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    QSettings state(StateFilePath(), QSettings::IniFormat);
    if (state.value(kLastFolderKey).toString() == folder) return;
    state.setValue(kLastFolderKey, folder);
    state.sync();
}
