#pragma once
// Where the window saves files: the proposal in the user's download folder (XDG), and the
// last folder the user saved into, remembered across runs in "Brindle.state" beside
// Brindle.ini (the settings file keeps its thirteen keys; this is the window's own state).
// UI thread only.
#include <QString>
#include <string>

// The user's download folder (XDG_DOWNLOAD_DIR, else ~/Downloads), whether or not it exists.
QString DownloadFolder();

// The full path "Save as" proposes for a file name taken from a URL: the name in the download
// folder; "" for a name that is no file ("", ".", "..").
QString ProposedTarget(const std::string& name);

// The window's state file: its path, and the last folder a file was saved into.
QString StateFilePath();
// The remembered folder when it still exists, else the download folder.
QString StartFolder();
// Remembers the folder holding path (written at once, so a crash does not lose it).
void RememberFolder(const QString& path);
