#include "core/TestImages.h"

#include <atomic>

#include "core/ReportCallbacks.h"
#include "core/UpdaterState.h"
#include "core/images/standInImages.h"

namespace core {
namespace {

std::atomic<bool> realRoad{false};

}  // namespace

void setRealGpsRoad(bool real) {
    realRoad = real;
    images::setRefuseStandIns(real);
}

bool buildHasTestImages() {
    return images::carriesStandIns();
}

bool testImagesOnly() {
    return realRoad && buildHasTestImages();
}

bool refuseImageWrite() {
    if (!testImagesOnly()) return false;
    logLine("Test images only: nothing is written to a real GPS\r\n");
    UpdaterState& st = state();
    st.reverseUpgrade = false;
    st.updateInProgress = false;
    st.failureShown = true;
    sendStatus(1, nullptr, kTestImagesNotice);
    return true;
}

}  // namespace core
