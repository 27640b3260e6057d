#pragma once
// Access to one INI (profile) file: read and write values by section and key. Each write
// replaces the whole file atomically. Used on the UI thread (settings load and save) and by
// the headless front end; one object per use, not shared between threads.
#include <string>

class WIniMan {
  public:
    WIniMan();  // names "WIN.INI"

    // A name without a "/" lives in SettingsDirectory(); a name with one is used as a path.
    void SetFileName(const std::string& name);
    const std::string& GetFileName() const { return fileName_; }
    std::string FilePath() const;

    // The key's value, at most 8191 characters. An absent key (or file, or section) gives def;
    // a present key with an empty value gives "". A null def gives "" without reading.
    std::string ReadString(const char* section, const char* key, const char* def);
    // Writes key=value into the section, creating directory, file, section or key as needed.
    // The file on disk holds the value when the call returns. A value with a line break is
    // refused (false): it would split into lines of its own.
    bool WriteString(const char* section, const char* key, const std::string& value);

    // The value converted like atof (leading number, else 0); def, formatted with "%f", when
    // the key is absent.
    double ReadNumber(const char* section, const char* key, double def);
    // Writes a whole 32-bit value as a decimal integer, anything else with "%f".
    bool WriteNumber(const char* section, const char* key, double value);

  private:
    std::string fileName_;
};
