// The radio: the version question and the update, against a scripted GPS
// (exact reports, faults of the computer's files) and the simulated one.
#include "core/Nordic.h"

#include <gtest/gtest.h>

#include "DataTestSupport.h"
#include "ScriptedLinkDevice.h"
#include "core/CommandLink.h"
#include "core/DriveWriteCheck.h"
#include "core/images/radioImages.h"

namespace {

namespace fs = std::filesystem;

using testing_support::Bytes;
using testing_support::deviceTextReport;
using testing_support::readBytes;

// A scripted GPS that is gone (reads fail) once its script is used up.
class VanishingDevice : public testing_support::ScriptedLinkDevice {
  public:
    int read(unsigned char* data, size_t length, int ms) override {
        {
            std::lock_guard lock(mutex);
            if (script.empty()) {
                ++reads;
                return -1;
            }
        }
        return ScriptedLinkDevice::read(data, length, ms);
    }
};

std::vector<uint8_t> decoded(const images::CompressedImage& image) {
    std::vector<uint8_t> bytes(image.decodedLength);
    EXPECT_EQ(images::decodeInto(image, bytes.data(), int(bytes.size())), int(bytes.size()));
    return bytes;
}

// The payload of a written command report.
Bytes payloadOf(const Bytes& report) {
    Bytes reply(64);
    size_t length = 0;
    EXPECT_TRUE(core::decodeLinkReport(std::span(report).subspan(1), reply, &length));
    reply.resize(length >= 2 ? length - 2 : 0);
    return reply;
}

class RadioVersionTest : public testing_support::DataTest {};

TEST_F(RadioVersionTest, AnswerIsParsedOnceAndKept) {
    auto gps = testing_support::attachScriptedDevice();
    connect(5, 7, 62, 60);
    core::state().reverseUpgrade = true;
    gps->script = {
        {}, deviceTextReport("Radio booting"), deviceTextReport("nRF VERSION: 2.10.31.39")};
    EXPECT_TRUE(core::checkNordicVersion());
    EXPECT_EQ(core::state().deviceRadioBuild, 1031039);
    EXPECT_FALSE(core::state().reverseUpgrade);
    EXPECT_TRUE(logged("NRF [1031039:1031039] Clear ReverseUpgrade\r\n"));
    ASSERT_EQ(gps->written.size(), 1u);
    EXPECT_EQ(payloadOf(gps->written[0]), Bytes{core::NRF_GET_VERSION});
    EXPECT_EQ(gps->closes, 1);

    EXPECT_TRUE(core::checkNordicVersion());
    EXPECT_TRUE(logged("Already have NRFV [1031039]\r\n"));
    EXPECT_EQ(gps->opens, 1);
}

TEST_F(RadioVersionTest, OldRadioAndTwoDots) {
    auto gps = testing_support::attachScriptedDevice();
    connect(5, 7, 62, 60);
    gps->script = {deviceTextReport("VERSION 1.10.2.7")};
    core::state().reverseUpgrade = true;
    EXPECT_TRUE(core::checkNordicVersion());
    EXPECT_EQ(core::state().deviceRadioBuild, 102007);
    EXPECT_TRUE(logged("NRF_GET_VERSION - REDACTED! REVERSE UPGRADE REQUIRED. \r\n"));
    EXPECT_FALSE(core::state().reverseUpgrade);

    // Two dots: the answer is taken, but gives no build; the next call asks again.
    core::state().deviceRadioBuild = 0;
    gps->script = {deviceTextReport("nRF VERSION: 2.10.31")};
    EXPECT_TRUE(core::checkNordicVersion());
    EXPECT_EQ(core::state().deviceRadioBuild, 0);
    gps->script = {deviceTextReport("nRF VERSION: 2.10.31.39")};
    EXPECT_TRUE(core::checkNordicVersion());
    EXPECT_EQ(core::state().deviceRadioBuild, 1031039);
    EXPECT_EQ(gps->opens, 3);

    // Three dots but more digits than a build number has: no build, and
    // still a version answer that clears the forced re-flash.
    core::state().deviceRadioBuild = 0;
    core::state().reverseUpgrade = true;
    gps->script = {deviceTextReport("VERSION 1.99999999.99999999.1")};
    EXPECT_TRUE(core::checkNordicVersion());
    EXPECT_EQ(core::state().deviceRadioBuild, 0);
    EXPECT_FALSE(core::state().reverseUpgrade);
    EXPECT_TRUE(logged("NRF [9999999999999999001:0] Clear ReverseUpgrade\r\n"));
}

TEST_F(RadioVersionTest, SilentRadio) {
    auto gps = testing_support::attachScriptedDevice();
    // Condor types: bypassed after one silent question.
    connect(12, 14, 51, 60);
    EXPECT_FALSE(core::checkNordicVersion());
    EXPECT_EQ(gps->reads, 5);  // each empty read counts twice
    EXPECT_TRUE(core::state().bypassRadioVersionCheck);
    EXPECT_TRUE(logged("SPECIAL BUILD - CONDOR SAMPLE CASE FORCE BYPASS NORDIC CHECK\r\n"));
    EXPECT_TRUE(core::checkNordicVersion());
    EXPECT_TRUE(logged("ByPass Flag Set NRFV\r\n"));
    EXPECT_EQ(gps->opens, 1);

    // Others: an error on the status.
    core::state().bypassRadioVersionCheck = false;
    connect(5, 7, 62, 60);
    gps->script = {deviceTextReport("no version here")};
    EXPECT_FALSE(core::checkNordicVersion());
    EXPECT_TRUE(statusWith("Heron GPS\nError check version wireless firmware"));
    EXPECT_FALSE(core::state().bypassRadioVersionCheck);

    // No device: false, nothing said.
    hidport::clearSimulatedDevices();
    statuses.clear();
    EXPECT_FALSE(core::checkNordicVersion());
    EXPECT_TRUE(statuses.empty());
}

class RadioUpdateTest : public testing_support::DataTest {
  protected:
    void SetUp() override {
        DataTest::SetUp();
        gps = testing_support::attachScriptedDevice();
    }
    std::shared_ptr<testing_support::ScriptedLinkDevice> gps;

    void succeedAfterTicks(int ticks) {
        for (int i = 0; i < ticks; ++i) gps->script.push_back(deviceTextReport("*"));
        gps->script.push_back(deviceTextReport("Writing page 3"));
        gps->script.push_back(deviceTextReport("Succus!!"));
    }
    bool commandSent(uint8_t opcode) {
        for (const Bytes& report : gps->written)
            if (payloadOf(report).at(0) == opcode) return true;
        return false;
    }
    std::string drivePath(const char* name) { return driveRoot() + name; }
};

TEST_F(RadioUpdateTest, Type13PutsImageAndInitPacketOnTheDriveAndFollowsTheGps) {
    connect(13, 14, 51, 60);
    succeedAfterTicks(400);
    ASSERT_TRUE(core::updateNordic());

    const images::RadioImageEntry* entry = images::findRadioImage(13);
    const std::vector<uint8_t> image = decoded(entry->image);
    EXPECT_EQ(readBytes(drivePath("nrf_update.bin")), image);
    EXPECT_EQ(readBytes(drivePath("nrf_update.dat")), decoded(entry->initPacket));
    // The staging copies are gone again.
    EXPECT_FALSE(fs::exists(stagingDir() + core::kStagedRadioImage));
    EXPECT_FALSE(fs::exists(stagingDir() + core::kStagedRadioInit));

    ASSERT_EQ(gps->written.size(), 1u);
    const Bytes command = payloadOf(gps->written[0]);
    const uint16_t crc = core::imageCrc16(image.data(), image.size());
    const uint32_t length = uint32_t(image.size());
    EXPECT_EQ(command, (Bytes{core::UPDATE_NORDIC, uint8_t(crc), uint8_t(crc >> 8), uint8_t(length),
                              uint8_t(length >> 8), uint8_t(length >> 16), 0}));
    EXPECT_TRUE(statusWith("Osprey Max\nProgramming wireless firmware"));
    EXPECT_TRUE(statusWith("", "25% done"));
    EXPECT_FALSE(statusWith("", "50% done"));
    EXPECT_TRUE(statusWith("", "Waiting for Device."));
    EXPECT_TRUE(logged("Writing page 3"));
    EXPECT_TRUE(logged("Success created folder C:Quorta !...\r\n"));
    EXPECT_EQ(waitsSoFar(), (std::vector<int>{5, 5, 5}));
    EXPECT_EQ(gps->closes, 1);
}

TEST_F(RadioUpdateTest, OlderTypesWriteTheImageOnlyAndType16UsesType14s) {
    connect(5, 7, 63, 60);
    gps->script = {deviceTextReport("complete")};
    ASSERT_TRUE(core::updateNordic());
    EXPECT_TRUE(fs::exists(drivePath("nrf_update.bin")));
    EXPECT_FALSE(fs::exists(drivePath("nrf_update.dat")));
    for (const std::string& path : files.created)
        EXPECT_EQ(path.find(core::kStagedRadioInit), std::string::npos) << path;

    connect(16, 14, 31, 60);
    gps->script = {deviceTextReport("file closed")};
    ASSERT_TRUE(core::updateNordic());
    EXPECT_EQ(readBytes(drivePath("nrf_update.bin")), decoded(images::findRadioImage(14)->image));
    EXPECT_EQ(readBytes(drivePath("nrf_update.dat")),
              decoded(images::findRadioImage(14)->initPacket));
}

TEST_F(RadioUpdateTest, UpToDateRadios) {
    // Current radio on the older types: nothing to do, not even the drive.
    connect(5, 7, 63, 60);
    core::state().deviceRadioBuild = core::kCurrentRadioBuild;
    core::state().setGpsDriveRoot("");
    EXPECT_TRUE(core::updateNordic());
    EXPECT_TRUE(logged("\n--NORDIC UP TO DATE--\r\n"));
    EXPECT_TRUE(gps->written.empty());

    // The Condor build on types 11 to 15 is logged, and the update runs anyway.
    core::state().setGpsDriveRoot(driveRoot());
    connect(11, 14, 51, 60);
    core::state().deviceRadioBuild = core::kCurrentCondorRadioBuild;
    gps->script = {deviceTextReport("Succus!!")};
    EXPECT_TRUE(core::updateNordic());
    EXPECT_TRUE(logged("\n--NORDIC UP TO DATE CONDOR--\r\n"));
    EXPECT_TRUE(commandSent(core::UPDATE_NORDIC));
}

TEST_F(RadioUpdateTest, TheGpsRefusesOrStaysSilent) {
    connect(14, 14, 51, 60);
    gps->script = {deviceTextReport("*"), Bytes{0x01, '%', 'F', 'A', 'I', 'L', 'E', 'D', '!'}};
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(logged("ANT_UPDATE_FAILED [\x01%FAILED]\r\n"));
    EXPECT_FALSE(statusWith("Heron Ultra\nError updating wireless firmware"));

    // Silence: about 455 reads, then the error.
    gps->reads = 0;
    EXPECT_FALSE(core::updateNordic());
    EXPECT_EQ(gps->reads, 455);
    EXPECT_TRUE(statusWith("Heron Ultra\nError updating wireless firmware"));
}

TEST_F(RadioUpdateTest, AGpsThatGoesAwayEndsTheWaitAtOnce) {
    hidport::clearSimulatedDevices();
    auto vanishing = std::make_shared<VanishingDevice>();
    hidport::addSimulatedDevice(vanishing);
    connect(14, 14, 51, 60);
    vanishing->script = {deviceTextReport("*")};
    EXPECT_FALSE(core::updateNordic());
    EXPECT_EQ(vanishing->reads, 2);
    EXPECT_TRUE(statusWith("Heron Ultra\nError updating wireless firmware"));
}

TEST_F(RadioUpdateTest, NoStagedFileReachesTheGpsUnlessWrittenWhole) {
    connect(13, 14, 51, 60);
    // The lock is refused: nothing is written, nothing is copied.
    files.refuseLock = true;
    EXPECT_FALSE(core::updateNordic());
    EXPECT_FALSE(fs::exists(drivePath("nrf_update.bin")));
    EXPECT_FALSE(fs::exists(stagingDir() + core::kStagedRadioImage));
    EXPECT_TRUE(gps->written.empty());

    // The staging disk fills part way through the image.
    files.refuseLock = false;
    files.writeBudget = 50000;
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(logged("Short write to " + stagingDir() + core::kStagedRadioImage +
                       ": 50000 of 113720 bytes (No space left on device)\r\n"));
    EXPECT_FALSE(fs::exists(drivePath("nrf_update.bin")));
    EXPECT_FALSE(fs::exists(stagingDir() + core::kStagedRadioImage));

    // Full before the init packet: the image is on the drive, the packet is not.
    files.writeBudget = 113720 + 100;
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(fs::exists(drivePath("nrf_update.bin")));
    EXPECT_FALSE(fs::exists(drivePath("nrf_update.dat")));
    EXPECT_TRUE(gps->written.empty());
}

TEST_F(RadioUpdateTest, DriveAndStagingProblems) {
    connect(13, 14, 51, 60);
    // A drive that takes no file: checked before anything is staged or sent.
    files.readOnlyRoot = driveRoot();
    EXPECT_FALSE(core::updateNordic());
    const std::string staged = stagingDir() + core::kStagedRadioImage;
    EXPECT_TRUE(statusWith(core::kDriveNotWritableTitle));
    EXPECT_FALSE(fs::exists(staged));
    EXPECT_TRUE(waitsSoFar().empty());
    EXPECT_TRUE(gps->written.empty());
    EXPECT_FALSE(fs::exists(drivePath(core::kDriveTestFileName)));

    // Something that is not a file in the staging file's place.
    files.readOnlyRoot.clear();
    fs::create_directory(staged);
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(logged("Could not open source " + staged + " !...\r\n"));
    fs::remove(staged);

    files.readOnlyRoot = stagingDir();
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(logged("Could not create folder C:Quorta !...\r\n"));

    files.readOnlyRoot.clear();
    statuses.clear();
    core::Services s = core::services();
    s.paths = nullptr;
    core::setServices(s);
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(logged("Could not create folder C:Quorta !...\r\n"));
    EXPECT_TRUE(
        statusWith("Error\nUnable to create C:\\Quorta folder.", "C:\\Quorta folder needed"));

    core::state().setGpsDriveRoot("");
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(statusWith("Can not find GPS USB drive"));

    core::state().setGpsDriveRoot(driveRoot());
    connect(3, 1, 0, 0);
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(logged("Invalid device type\r\n"));
    core::reportCallbacks().currentDevice = nullptr;
    EXPECT_FALSE(core::updateNordic());
    EXPECT_TRUE(statusWith("Error\nUnable to determine device model.", "Something went wrong"));
}

}  // namespace
