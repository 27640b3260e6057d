#include "GuiTestSupport.h"

#include <QCryptographicHash>
#include <QPlainTextEdit>
#include <fstream>
#include <sstream>

#include "forms/TabForm1.h"

namespace guitest {

ConfigDir::ConfigDir() {
    hadPrevious = qEnvironmentVariableIsSet("BRINDLE_CONFIG_DIR");
    previous = qgetenv("BRINDLE_CONFIG_DIR");
    qputenv("BRINDLE_CONFIG_DIR", dir.path().toLocal8Bit());
}

ConfigDir::~ConfigDir() {
    if (hadPrevious) {
        qputenv("BRINDLE_CONFIG_DIR", previous);
    } else {
        qunsetenv("BRINDLE_CONFIG_DIR");
    }
}

QString ConfigDir::IniPath() const {
    return dir.filePath("Brindle.ini");
}

void ConfigDir::WriteIni(const std::string& settingsLines) const {
    std::ofstream out(IniPath().toStdString(), std::ios::binary);
    out << "[settings]\n" << settingsLines;
}

std::string ConfigDir::ReadIni() const {
    std::ifstream in(IniPath().toStdString(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string PageText(const TabForm1* page) {
    // The box keeps each CR LF as one line break.
    std::string shown = page->textb_1->toPlainText().toStdString();
    std::string text;
    for (char c : shown) {
        if (c == '\n') text += '\r';
        text += c;
    }
    return text;
}

std::string Sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

}  // namespace guitest
