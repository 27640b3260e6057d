#pragma once
// The settings file "Brindle.ini": where it lives, and loading and saving the settings record.
// Called on the UI thread at start-up and shutdown, and by the headless front end (load only).
#include <string>

#include "settings/Settings.h"

// The directory of the settings file: $BRINDLE_CONFIG_DIR, else $XDG_CONFIG_HOME, else
// ~/.config (empty or relative variables are skipped).
std::string SettingsDirectory();

// Fills every field of s from the file's section "settings" (one read of the file). An absent key
// gives the field's default (Settings{}); a present one is read as a number (truncated toward zero,
// a boolean is true unless 0) or as a string exactly as stored, even when empty or not a number.
void LoadSettings(Settings& s);
// Writes all thirteen keys in one atomic replacement of the file (the text the key-by-key
// writes would leave); failures are ignored.
void SaveSettings(const Settings& s);
