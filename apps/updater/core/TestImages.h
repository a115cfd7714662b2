// A build whose images are stand-ins (test images) reads and shows a GPS on
// the real road but writes no image to it: the stand-ins have the right sizes
// and format but are not firmware, and a GPS given one would not start again.
// The simulated GPS, a replayed trace and the emulator's declared road take
// them as they are.
#pragma once

namespace core {

// What the window, the terminal and the refused menu commands say.
inline constexpr const char* kTestImagesNotice =
    "This build carries test images only\nand cannot update a real GPS.\nFor a build that "
    "can, see \"Using a real GPS\"\nin the README.";
inline constexpr const char* kTestImagesCaption = "Test images only";
// Added to the About text and to --help in a build with test images.
inline constexpr const char* kTestImagesBuildNote =
    "This build carries test images only: it updates the simulated and the\nemulated GPS, and "
    "cannot update a real GPS (see \"Using a real GPS\" in\nthe README).\n";

// The build carries test images (either sign: the build's or the images').
bool buildHasTestImages();

// Set once at start-up, before any device work: whether the GPS is reached
// on the real road. Not set (false) means the simulated GPS, as in the tests.
void setRealGpsRoad(bool real);

// This build carries test images and the GPS is on the real road: no main
// image, radio image or font pack may be written to it.
bool testImagesOnly();

// For every workflow that would write an image: when testImagesOnly(), logs
// it, ends the update state (nothing is on its way), shows the notice as the
// status and returns true; the caller then writes nothing.
bool refuseImageWrite();

}  // namespace core
