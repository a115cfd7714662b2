// The worker threads of an update: the update worker (prepares the update
// and sends the device into its bootloader), the wireless worker (radio
// update, re-read, language packs) and the bootloader-mode thread (programs a
// device the scan found in its flash bootloader). Each is started
// fire-and-forget through Services::threads; only one of the first two runs
// at a time, which updateThreadActive guards with one atomic exchange.
#pragma once

namespace core {

// Starters. The first two are called on the window thread (the update
// commands, the arrival handling); the third is what
// Services::startOnBootloaderModeThread should be set to.
void startUpdateWorkerThread();
void startUpdateNordic();
void startOnBootloaderModeThread();

// The thread bodies, run by the starters on their own threads; tests may run
// them directly.
void updateWorkerThread();
void updateNordicThread();
void bootloaderModeThread();

// Names the threads are started under.
inline constexpr const char* kUpdateWorkerName = "startUpdateWorkerThread";
inline constexpr const char* kWirelessWorkerName = "updateNordic";
inline constexpr const char* kBootloaderModeName = "startOnBootloaderModeThread";

// Waits of the workers, in milliseconds of the clock.
inline constexpr int kWorkerSettleMs = 1000;
inline constexpr int kBootloaderSettleMs = 1500;
inline constexpr int kWorkingMs = 3000;
inline constexpr int kNordicRetryMs = 6000;
inline constexpr int kRadioRestartMs = 15000;

// Texts of the message boxes of the workers.
inline constexpr const char* kWirelessProblemCaption = "Wireless Firmware Update Problem";
inline constexpr const char* kNoCommunicationText =
    "We could not begin communication with the Quorta GPS. Disconnect the GPS from computer , "
    "turn off GPS and turn back on, then Restart the updater app and reconnect the GPS.";
inline constexpr const char* kRestartAndRetryText =
    "Please disconnect the Quorta GPS device from the computer USB.  Close and Restart the "
    "updater app. Reconnect the Quorta GPS device and try the update again.";
inline constexpr const char* kWorkerLanguagePackCaption = "Language Pack";
inline constexpr const char* kWorkerLanguagePackFailedText = "Could Not Update Language Packs.";

}  // namespace core
