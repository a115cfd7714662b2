// The Japanese font packs (the menu's language packs): copied to the GPS
// drive, then loaded by the GPS into its own flash on KANJI_PROGRAM_FLASH.
#pragma once

namespace hidport {
struct hid_device;
}

namespace core {

// True when every font the type uses was reported loaded by the GPS.
bool updateLanguagePacks();

// The user-facing run from the menu and after a factory reset of a Japanese
// unit: notices, progress bar, the run, and its outcome in a message box.
// Runs on the window thread.
void languagePackCommand();

// Most reads the loading is followed for.
inline constexpr int kLanguagePackReadLimit = 1500;

// --- Pieces, for the workflow and its tests ---------------------------------

// What the font loader reported: a letter in the second byte of a report,
// 'A' first pack, 'B' second pack, 'C' the single pack, 'D' failure.
struct FontLoadOutcome {
    bool pack1 = false;
    bool pack2 = false;
    bool single = false;
};

// Listens to the font loader's letters on an open handle until it finishes,
// the read limit is reached or the device is gone.
FontLoadOutcome listenForFontLoading(hidport::hid_device* handle);

}  // namespace core
