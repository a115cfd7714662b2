// The Japanese font packs (the menu's language packs): copied to the GPS
// drive, then loaded by the GPS into its own flash on KANJI_PROGRAM_FLASH.
#pragma once

namespace core {

// True when every font the type uses was reported loaded by the GPS.
bool updateLanguagePacks();

// The user-facing run from the menu and after a factory reset of a Japanese
// unit: notices, progress bar, the run, and its outcome in a message box.
// Runs on the window thread.
void languagePackCommand();

// Most reads the loading is followed for.
inline constexpr int kLanguagePackReadLimit = 1500;

}  // namespace core
