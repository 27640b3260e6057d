#pragma once
// Access to one INI (profile) file: read and write values by section and key. Each write
// replaces the whole file atomically. Used on the UI thread (settings load and save) and by
// the headless front end; one object per use, not shared between threads.
#include <memory>
#include <string>

struct IniText;

class WIniMan {
public:
    WIniMan();  // names "WIN.INI"
    ~WIniMan();
    WIniMan(WIniMan&&) noexcept;
    WIniMan& operator=(WIniMan&&) noexcept;

    // The file's path, used as given (a relative one from the current directory).
    void SetFileName(const std::string& path);
    const std::string& GetFileName() const { return fileName_; }

    // Batch use: Load reads the file once (an absent one reads as empty); the reads and
    // writes that follow work on that copy, and Save replaces the file with it in one atomic
    // write: the text the same writes would have left one by one. Without Load, every read
    // reads the file and every write replaces it.
    void Load();
    bool Save();

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
    std::unique_ptr<IniText> batch_;
};
