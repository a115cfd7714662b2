// The device-change notifications of the simulated machine.
#include <atomic>
#include <thread>

#include "DeviceTestSupport.h"

namespace device_test {
namespace {

using namespace std::chrono_literals;

TEST(SimulatedDeviceEvents, DeliveredInOrderOnlyWhileRunning) {
    sim::SimulatedDeviceEvents events;
    std::mutex mutex;
    Events got;
    std::thread::id deliveredOn;
    events.raise(DeviceEvent::VolumeArrival);  // nobody listens yet
    ASSERT_TRUE(events.start([&](DeviceEvent e) {
        std::lock_guard lock(mutex);
        got.push_back(e);
        deliveredOn = std::this_thread::get_id();
    }));
    EXPECT_FALSE(events.start([](DeviceEvent) {}));  // already running
    events.raise(DeviceEvent::VolumeRemoveComplete);
    events.raise(DeviceEvent::DevNodesChanged);
    ASSERT_TRUE(events.waitDelivered(10s));
    events.stop();
    events.raise(DeviceEvent::VolumeArrival);
    std::lock_guard lock(mutex);
    EXPECT_EQ(got, (Events{DeviceEvent::VolumeRemoveComplete, DeviceEvent::DevNodesChanged}));
    EXPECT_NE(deliveredOn, std::this_thread::get_id());
    EXPECT_EQ(events.raised().size(), 4u);
}

TEST(SimulatedDeviceEvents, StopFromInsideTheSinkThenStartAgain) {
    sim::SimulatedDeviceEvents events;
    std::atomic<int> calls{0};
    ASSERT_TRUE(events.start([&](DeviceEvent) {
        ++calls;
        events.stop();  // must not wait for itself
    }));
    events.raise(DeviceEvent::DevNodesChanged);
    events.raise(DeviceEvent::DevNodesChanged);
    ASSERT_TRUE(events.waitDelivered(10s));
    EXPECT_EQ(calls.load(), 1);
    std::atomic<int> second{0};
    ASSERT_TRUE(events.start([&](DeviceEvent) { ++second; }));
    events.raise(DeviceEvent::DevNodesChanged);
    ASSERT_TRUE(events.waitDelivered(10s));
    EXPECT_EQ(second.load(), 1);
}

class MachineEvents : public DeviceTest {};

TEST_F(MachineEvents, PlugAndUnplugRaiseWhatARealDeviceRaises) {
    sim::SimulatedGps& gps = addGps();
    gps.plugIn();
    EXPECT_EQ(takeEvents(gps), (Events{DeviceEvent::DevNodesChanged, DeviceEvent::VolumeArrival}));
    gps.unplug();
    EXPECT_EQ(takeEvents(gps),
              (Events{DeviceEvent::VolumeRemoveComplete, DeviceEvent::DevNodesChanged}));
    gps.plugIn(sim::GpsMode::FlashBootloader);
    gps.unplug();
    EXPECT_EQ(takeEvents(gps),
              (Events{DeviceEvent::DevNodesChanged, DeviceEvent::DevNodesChanged}));
    gps.powerOn();  // the application boots; its drive follows
    EXPECT_EQ(gps.mode(), sim::GpsMode::Application);
    EXPECT_EQ(takeEvents(gps), (Events{DeviceEvent::DevNodesChanged, DeviceEvent::VolumeArrival}));
}

TEST_F(MachineEvents, TheSinkIsCalledOutsideTheGpsLocks) {
    // A handler that asks the device about itself, as the updater's scan does.
    sim::SimulatedGps& gps = addGps();
    std::atomic<int> seen{0};
    machine->deviceEvents().stop();
    ASSERT_TRUE(machine->deviceEvents().start([&](DeviceEvent) {
        (void)gps.hardwareId();
        (void)gps.driveVolume();
        LinkHost probe;  // opens and closes the link, if it is there
        ++seen;
    }));
    gps.plugIn();
    // Let the handler's own probe finish first: the link has one free slot, and
    // an open at the same instant as the probe's would be refused like a busy node.
    ASSERT_TRUE(machine->deviceEvents().waitDelivered(10s));
    {
        LinkHost link;
        link.send(JUMP_TO_BL);
    }
    ASSERT_TRUE(gps.waitForMode(sim::GpsMode::FlashBootloader, kPatience));
    ASSERT_TRUE(gps.waitUntilSettled(kPatience));
    ASSERT_TRUE(machine->deviceEvents().waitDelivered(10s));
    EXPECT_EQ(seen.load(), 5);
}

TEST_F(MachineEvents, GoingAwayWithARestartPending) {
    sim::SimulatedGps& gps = addGps();
    gps.plugIn();
    LinkHost link;
    link.send(JUMP_TO_BL);
    machine.reset();  // joins the device's thread with its restart still pending
    SUCCEED();
}

}  // namespace
}  // namespace device_test
