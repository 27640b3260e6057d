#pragma once
// Helpers shared by the GUI tests: a private settings directory per test, file helpers and
// the reading of a log page as the user sees it.
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <string>

class TabForm1;

namespace guitest {

// Points BRINDLE_CONFIG_DIR at a fresh temporary directory for as long as it lives.
class ConfigDir {
public:
    ConfigDir();
    ~ConfigDir();
    ConfigDir(const ConfigDir&) = delete;
    ConfigDir& operator=(const ConfigDir&) = delete;

    QString IniPath() const;
    // Writes Brindle.ini with the given body (lines under "[settings]").
    void WriteIni(const std::string& settingsLines) const;
    std::string ReadIni() const;

private:
    QTemporaryDir dir;
    QByteArray previous;
    bool hadPrevious;
};

// The text of a log page, with its line breaks written as the workers send them (CR LF).
std::string PageText(const TabForm1* page);
std::string Sha256(const std::string& bytes);

}  // namespace guitest
