// The language packs: fonts copied to the drive, then the GPS's letters.
#include <gtest/gtest.h>

#include "DataTestSupport.h"
#include "ScriptedLinkDevice.h"
#include "core/CommandLink.h"
#include "core/DriveWriteCheck.h"
#include "core/LanguagePacks.h"
#include "core/images/fontPacks.h"

namespace {

namespace fs = std::filesystem;

using testing_support::Bytes;
using testing_support::readBytes;

// A raw report whose second byte is the loader's letter; not a frame.
Bytes letter(char c) {
    Bytes r(64, 0);
    r[0] = 0x01;
    r[1] = uint8_t(c);
    r[2] = 0x33;
    return r;
}

std::vector<uint8_t> decodedFont(const char* name) {
    const images::FontPack* pack = images::findFontPack(name);
    std::vector<uint8_t> bytes(pack->image.decodedLength);
    EXPECT_EQ(images::decodeInto(pack->image, bytes.data(), int(bytes.size())), int(bytes.size()));
    return bytes;
}

class LanguagePackTest : public testing_support::DataTest {
  protected:
    void SetUp() override {
        DataTest::SetUp();
        gps = testing_support::attachScriptedDevice();
    }
    std::shared_ptr<testing_support::ScriptedLinkDevice> gps;
    std::string onDrive(const char* name) { return driveRoot() + name; }
};

TEST_F(LanguagePackTest, TwoPacksLoadedOnAThenB) {
    connect(5, 7, 63, 60);
    gps->script = {{}, letter('x'), letter('A'), {}, letter('B')};
    ASSERT_TRUE(core::updateLanguagePacks());
    EXPECT_EQ(readBytes(onDrive("Kanji_11x12.bin")), decodedFont("Kanji_11x12.bin"));
    EXPECT_EQ(readBytes(onDrive("Kanji_18x18.bin")), decodedFont("Kanji_18x18.bin"));
    EXPECT_FALSE(fs::exists(onDrive("Kanji_19x19.bin")));
    // Staging copies stay for the next run.
    EXPECT_TRUE(fs::exists(stagingDir() + "Kanji_18x18.bin"));
    EXPECT_EQ(waitsSoFar(), (std::vector<int>{10, 10, 15}));
    ASSERT_EQ(gps->written.size(), 1u);
    EXPECT_EQ(gps->written[0][2], core::KANJI_PROGRAM_FLASH);
    EXPECT_TRUE(logged("FN 1 of 2 = " + onDrive("Kanji_11x12.bin") + "\n\r"));
    EXPECT_TRUE(logged("RX [2] N\r\n"));
    EXPECT_TRUE(logged("RX  KANJI_18x18_SUCCESS [7][64][0][01][42][33]\r\n"));
    EXPECT_TRUE(statusWith("", "Language Pack 1 of 2 done!\nDevice Loading..."));
    EXPECT_TRUE(statusWith("", "Language Pack 2 of 2 done!"));
    EXPECT_EQ(statuses.back().detail, "");
    EXPECT_EQ(gps->closes, 1);
}

TEST_F(LanguagePackTest, LettersThatDoNotCompleteTheSet) {
    connect(5, 7, 63, 60);
    gps->script = {letter('B')};  // B alone
    EXPECT_FALSE(core::updateLanguagePacks());
    gps->script = {letter('A'), letter('D')};  // loading failed after the first
    EXPECT_FALSE(core::updateLanguagePacks());

    // A alone keeps listening until the read limit: 750 silent reads count twice.
    gps->reads = 0;
    gps->script = {letter('A')};
    EXPECT_FALSE(core::updateLanguagePacks());
    EXPECT_EQ(gps->reads, 1 + 750);
    EXPECT_TRUE(logged("RX [1501] N\r\n"));
}

TEST_F(LanguagePackTest, CondorTypesLoadOnePackOnC) {
    connect(11, 14, 51, 60);
    gps->script = {letter('C')};
    ASSERT_TRUE(core::updateLanguagePacks());
    EXPECT_EQ(readBytes(onDrive("Kanji_19x19.bin")), decodedFont("Kanji_19x19.bin"));
    EXPECT_FALSE(fs::exists(onDrive("Kanji_11x12.bin")));
    EXPECT_TRUE(statusWith("", "Language Pack condor done!"));

    gps->script = {letter('B')};
    EXPECT_FALSE(core::updateLanguagePacks());
}

TEST_F(LanguagePackTest, NotJapaneseNoDriveReadOnlyDriveAndNoDevice) {
    connect(5, 7, 63, 0);
    EXPECT_FALSE(core::updateLanguagePacks());
    EXPECT_TRUE(files.created.empty());
    EXPECT_TRUE(fs::is_empty(driveFolder));
    EXPECT_EQ(gps->opens, 0);

    connect(5, 7, 63, 60);
    core::state().setGpsDriveRoot("");
    EXPECT_FALSE(core::updateLanguagePacks());
    EXPECT_TRUE(statusWith("Can not find GPS USB drive"));

    core::state().setGpsDriveRoot(driveRoot());
    files.readOnlyRoot = driveRoot();
    EXPECT_FALSE(core::updateLanguagePacks());
    EXPECT_TRUE(statusWith(core::kDriveNotWritableTitle));
    EXPECT_FALSE(fs::exists(stagingDir() + "Kanji_11x12.bin"));
    EXPECT_EQ(gps->opens, 0);

    // The staging disk fills in the second font: it never reaches the drive.
    files.readOnlyRoot.clear();
    files.writeBudget = 152520 + 1000;
    EXPECT_FALSE(core::updateLanguagePacks());
    EXPECT_TRUE(fs::exists(onDrive("Kanji_11x12.bin")));
    EXPECT_FALSE(fs::exists(onDrive("Kanji_18x18.bin")));

    files.writeBudget.reset();
    hidport::clearSimulatedDevices();
    EXPECT_FALSE(core::updateLanguagePacks());
    EXPECT_TRUE(logged("Open HID device failed\r\n"));
}

TEST_F(LanguagePackTest, MenuCommandTellsTheUserTheOutcome) {
    testing_support::RecordingWindow window;
    services.window = &window;
    applyServices();
    connect(5, 7, 63, 60);
    core::state().factoryResetPending = true;
    core::state().updateInProgress = true;
    gps->script = {letter('A'), letter('B')};
    core::languagePackCommand();
    EXPECT_FALSE(core::state().factoryResetPending);
    EXPECT_FALSE(core::state().languagePackBusy);
    EXPECT_FALSE(core::state().updateInProgress);
    auto position = [&](const std::string& call) {
        return std::find(window.calls.begin(), window.calls.end(), call) - window.calls.begin();
    };
    const auto notice = position(
        "box Language Pack: Sending Command to appy NEW Language Pack. This will take a while so "
        "do not unplug device");
    const auto outcome = position("box Language Pack: Successfully Updated Language Packs.");
    ASSERT_LT(outcome, long(window.calls.size()));
    EXPECT_LT(notice, outcome);
    EXPECT_LT(position("show progress 1"), outcome);
    EXPECT_TRUE(window.isVisible(core::Control::UpdateButton));
    EXPECT_FALSE(window.isVisible(core::Control::ProgressBar));
    EXPECT_TRUE(logged(" updateButton SW_SHOW C \r\n"));

    gps->script = {letter('D')};
    core::languagePackCommand();
    EXPECT_NE(position("box Language Pack: Could Not Update Language Packs."),
              long(window.calls.size()));
}

}  // namespace
