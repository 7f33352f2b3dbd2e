// The platform bus on the driver core: what a driver sees of probe and remove
// and in what order, failed probes unwound, registration from inside probe
// and remove, the device lock held across them and no bus lock, the misuse
// Linux reports, and the bus's part of sysfs.
#include <linux/device.h>
#include <linux/platform_device.h>
#include <linux/slab.h>

#include <khost/fault.hpp>
#include <khost/kernel.hpp>

#include "reports.hpp"
#include "vfs.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> events;
int probe_result;

void note(void *what) { events.push_back(static_cast<const char *>(what)); }

int demo_probe(struct platform_device *pdev)
{
    events.push_back(std::string("probe ") + dev_name(&pdev->dev));
    void *mem = devm_kzalloc(&pdev->dev, 64, GFP_KERNEL);
    EXPECT_NE(mem, nullptr);
    devm_add_action(&pdev->dev, note, const_cast<char *>("release first"));
    devm_add_action(&pdev->dev, note, const_cast<char *>("release second"));
    platform_set_drvdata(pdev, mem);
    return probe_result;
}

int demo_remove(struct platform_device *pdev)
{
    events.push_back(std::string("remove ") + dev_name(&pdev->dev));
    EXPECT_NE(nullptr, platform_get_drvdata(pdev)) << "drvdata set in probe is there in remove";
    return -EBUSY; // ignored, as Linux 4.4 ignores it
}

void demo_release(struct device *dev) { events.push_back("device release"); }

struct platform_driver demo_driver = {.probe = demo_probe, .remove = demo_remove, .driver = {.name = "demo"}};

std::string read_attr(const std::string &path)
{
    kern::vfs::Lookup found;
    if (kern::vfs::lookup(path, &found))
        return "<missing>";
    std::string out;
    long n = kern::vfs::attr_show(*found.node, out);
    return n < 0 ? "<error " + std::to_string(n) + ">" : out;
}

std::string link_of(const std::string &path)
{
    std::string target;
    return kern::vfs::readlink(path, &target) == 0 ? target : "<no link>";
}

long write_attr(const std::string &path, const std::string &text)
{
    kern::vfs::Lookup found;
    if (int err = kern::vfs::lookup(path, &found))
        return err;
    return kern::vfs::attr_store(*found.node, text.c_str(), text.size());
}

// Platform devices as drivers define them, fresh for each test: a static
// device registered twice in a process is itself a misuse.
class Platform : public ::testing::Test {
protected:
    void SetUp() override
    {
        events.clear();
        probe_result = 0;
    }

    struct platform_device *make(const char *name, int id)
    {
        auto dev = std::make_unique<struct platform_device>();
        dev->name = name;
        dev->id = id;
        dev->dev.release = demo_release;
        devices_.push_back(std::move(dev));
        return devices_.back().get();
    }

    std::vector<std::unique_ptr<struct platform_device>> devices_;
};

TEST_F(Platform, DeviceFirstThenDriverProbesAtDriverRegistration)
{
    struct platform_device *pdev = make("demo", 0);
    ASSERT_EQ(platform_device_register(pdev), 0);
    EXPECT_TRUE(events.empty());
    ASSERT_EQ(platform_driver_register(&demo_driver), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"probe demo.0"}));
    EXPECT_EQ(&demo_driver.driver, pdev->dev.driver);
    platform_device_unregister(pdev);
    platform_driver_unregister(&demo_driver);
    EXPECT_EQ(events, (std::vector<std::string>{"probe demo.0", "remove demo.0", "release second", "release first",
                                                "device release"}));
    EXPECT_EQ(nullptr, pdev->dev.driver);
    EXPECT_EQ(nullptr, platform_get_drvdata(pdev)) << "cleared at unbind";
}

TEST_F(Platform, DriverUnregisterRemovesTheLastBoundFirstAndLeavesTheDevices)
{
    ASSERT_EQ(platform_driver_register(&demo_driver), 0);
    struct platform_device *a = make("demo", 1);
    struct platform_device *b = make("demo", 2);
    ASSERT_EQ(platform_device_register(a), 0);
    ASSERT_EQ(platform_device_register(b), 0);
    events.clear();
    platform_driver_unregister(&demo_driver);
    EXPECT_EQ(events, (std::vector<std::string>{"remove demo.2", "release second", "release first", "remove demo.1",
                                                "release second", "release first"}));
    EXPECT_TRUE(kern::vfs::exists("/sys/devices/platform/demo.1"));
    platform_device_unregister(a);
    platform_device_unregister(b);
    EXPECT_EQ(events.back(), "device release");
}

TEST_F(Platform, FailedProbeReleasesWhatItGotAndLeavesTheDeviceUnbound)
{
    probe_result = -ENOMEM;
    khost::log_clear();
    struct platform_device *pdev = make("demo", 0);
    platform_device_register(pdev);
    platform_driver_register(&demo_driver);
    EXPECT_EQ(events, (std::vector<std::string>{"probe demo.0", "release second", "release first"}));
    EXPECT_TRUE(khost::log_contains("demo: probe of demo.0 failed with error -12"));
    EXPECT_EQ(pdev->dev.driver, nullptr);
    EXPECT_EQ(nullptr, platform_get_drvdata(pdev)) << "drvdata is cleared after a failed probe";
    EXPECT_FALSE(kern::vfs::exists("/sys/devices/platform/demo.0/driver"));
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/platform/drivers/demo/demo.0"));
    platform_device_unregister(pdev);
    platform_driver_unregister(&demo_driver);
    EXPECT_EQ(events.back(), "device release") << "no remove for an unbound device";
}

TEST_F(Platform, ProbeThatDeclinesIsQuiet)
{
    probe_result = -ENODEV;
    khost::log_clear();
    struct platform_device *pdev = make("demo", 0);
    platform_driver_register(&demo_driver);
    platform_device_register(pdev);
    EXPECT_EQ(pdev->dev.driver, nullptr);
    EXPECT_FALSE(khost::log_contains("probe of demo.0 failed")) << "-ENODEV is only a debug message on Linux";
    platform_device_unregister(pdev);
    platform_driver_unregister(&demo_driver);
}

// The reproduction of a use-after-free: a probe that registers devices while
// the bus is walking its list of them.
int spawning_probe(struct platform_device *pdev);
struct platform_driver spawner = {.probe = spawning_probe, .driver = {.name = "spawner"}};
std::vector<std::unique_ptr<struct platform_device>> spawned;

int spawning_probe(struct platform_device *pdev)
{
    if (pdev->id != 0)
        return 0;
    for (int i = 0; i < 40; ++i) {
        auto child = std::make_unique<struct platform_device>();
        child->name = "spawner";
        child->id = 100 + i;
        child->dev.release = demo_release;
        EXPECT_EQ(0, platform_device_register(child.get()));
        spawned.push_back(std::move(child));
    }
    return 0;
}

TEST_F(Platform, ProbeMayRegisterDevicesWhileTheBusWalksItsList)
{
    struct platform_device *first = make("spawner", 0);
    struct platform_device *second = make("spawner", 1);
    ASSERT_EQ(0, platform_device_register(first));
    ASSERT_EQ(0, platform_device_register(second));
    ASSERT_EQ(0, platform_driver_register(&spawner));
    ASSERT_EQ(40u, spawned.size());
    EXPECT_EQ(&spawner.driver, second->dev.driver);
    for (auto &child : spawned)
        EXPECT_EQ(&spawner.driver, child->dev.driver) << dev_name(&child->dev) << " bound at its own registration";
    platform_driver_unregister(&spawner);
    for (auto &child : spawned)
        platform_device_unregister(child.get());
    platform_device_unregister(first);
    platform_device_unregister(second);
    spawned.clear();
}

// A remove that waits for a thread which registers a device: on Linux only
// the device being removed is locked, so the thread gets through.
struct platform_device *late_device;
int waiting_remove(struct platform_device *pdev)
{
    std::thread registrar([] { EXPECT_EQ(0, platform_device_register(late_device)); });
    registrar.join();
    return 0;
}
struct platform_driver waiter = {.remove = waiting_remove, .driver = {.name = "waiter"}};

TEST_F(Platform, RemoveMayWaitForAThreadThatRegistersADevice)
{
    struct platform_device *pdev = make("waiter", 0);
    late_device = make("demo", 7);
    ASSERT_EQ(0, platform_driver_register(&demo_driver));
    ASSERT_EQ(0, platform_driver_register(&waiter));
    ASSERT_EQ(0, platform_device_register(pdev));
    platform_device_unregister(pdev); // remove runs here
    EXPECT_EQ(&demo_driver.driver, late_device->dev.driver) << "the thread's device was probed meanwhile";

    late_device = make("demo", 8);
    ASSERT_EQ(0, platform_device_register(pdev = make("waiter", 1)));
    platform_driver_unregister(&waiter); // and at the driver's unregistration
    EXPECT_EQ(&demo_driver.driver, late_device->dev.driver);

    platform_driver_unregister(&demo_driver);
    for (auto &dev : devices_)
        if (dev->dev.kernel_private && device_is_registered(&dev->dev))
            platform_device_unregister(dev.get());
}

// Probe runs with the device locked: another thread cannot take its lock,
// and a second device probes meanwhile on its own.
std::atomic<int> slow_stage{0};
int slow_probe(struct platform_device *pdev)
{
    if (pdev->id == 0) {
        slow_stage = 1;
        while (slow_stage != 2)
            std::this_thread::yield();
    }
    return 0;
}
struct platform_driver slow = {.probe = slow_probe, .driver = {.name = "slow"}};

TEST_F(Platform, ProbeHoldsTheDeviceLockAndNoBusLock)
{
    ASSERT_EQ(0, platform_driver_register(&slow));
    struct platform_device *blocked = make("slow", 0);
    struct platform_device *other = make("slow", 1);
    std::thread first([&] { EXPECT_EQ(0, platform_device_register(blocked)); });
    while (slow_stage != 1)
        std::this_thread::yield();
    EXPECT_EQ(0, device_trylock(&blocked->dev)) << "held across probe";
    EXPECT_EQ(0, platform_device_register(other)) << "not held up by the probe under way";
    EXPECT_EQ(&slow.driver, other->dev.driver);
    slow_stage = 2;
    first.join();
    EXPECT_EQ(1, device_trylock(&blocked->dev));
    device_unlock(&blocked->dev);
    platform_driver_unregister(&slow);
    platform_device_unregister(blocked);
    platform_device_unregister(other);
}

// A consumer that needs its supplier bound first, as a driver needing a
// GPIO or clock provider asks to be deferred until it is there.
bool supplier_ready;
int consumer_probes;
int supplier_probe(struct platform_device *) { return supplier_ready = true, 0; }
int supplier_remove(struct platform_device *) { return supplier_ready = false, 0; }
int consumer_probe(struct platform_device *)
{
    consumer_probes++;
    return supplier_ready ? 0 : -EPROBE_DEFER;
}
struct platform_driver supplier = {.probe = supplier_probe, .remove = supplier_remove, .driver = {.name = "supplier"}};
struct platform_driver consumer = {.probe = consumer_probe, .driver = {.name = "consumer"}};

TEST_F(Platform, DeferredProbeIsTriedAgainAfterAnotherDeviceBinds)
{
    supplier_ready = false;
    consumer_probes = 0;
    khost::log_clear();
    struct platform_device *user = make("consumer", 0);
    ASSERT_EQ(0, platform_driver_register(&consumer));
    ASSERT_EQ(0, platform_device_register(user));
    EXPECT_EQ(nullptr, user->dev.driver);
    EXPECT_FALSE(khost::log_contains("probe of consumer.0 failed")) << "a deferral is no failure";

    // A bind of something else that does not help: tried again, deferred again.
    struct platform_device *other = make("demo", 0);
    ASSERT_EQ(0, platform_driver_register(&demo_driver));
    ASSERT_EQ(0, platform_device_register(other));
    EXPECT_EQ(2, consumer_probes);

    struct platform_device *provider = make("supplier", 0);
    ASSERT_EQ(0, platform_device_register(provider));
    EXPECT_EQ(2, consumer_probes) << "no bind, no new try";
    ASSERT_EQ(0, platform_driver_register(&supplier));
    EXPECT_EQ(&consumer.driver, user->dev.driver) << "bound once the supplier was";
    EXPECT_EQ(3, consumer_probes);

    // A deferred device that goes away is forgotten (ASan watches).
    platform_device_unregister(user);
    platform_device_unregister(provider);
    struct platform_device *again = make("consumer", 1);
    ASSERT_EQ(0, platform_device_register(again));
    platform_device_unregister(again);
    platform_device_unregister(other); // a bind-free change: nothing tried
    ASSERT_EQ(0, platform_device_register(provider = make("supplier", 1)));
    platform_device_unregister(provider);
    platform_driver_unregister(&supplier);
    platform_driver_unregister(&consumer);
    platform_driver_unregister(&demo_driver);
}

const struct platform_device_id ids[] = {{"chip-a", 1}, {"chip-b", 2}, {""}};
unsigned long bound_id;
int id_probe(struct platform_device *pdev)
{
    bound_id = platform_get_device_id(pdev)->driver_data;
    return 0;
}
struct platform_driver id_driver = {.probe = id_probe, .driver = {.name = "chips"}, .id_table = ids};

TEST_F(Platform, IdTableMatchesByNameAndTellsTheEntry)
{
    ASSERT_EQ(0, platform_driver_register(&id_driver));
    struct platform_device *b = make("chip-b", PLATFORM_DEVID_NONE);
    struct platform_device *c = make("chips", PLATFORM_DEVID_NONE);
    ASSERT_EQ(0, platform_device_register(b));
    ASSERT_EQ(0, platform_device_register(c));
    EXPECT_EQ(2u, bound_id);
    EXPECT_EQ(&id_driver.driver, b->dev.driver);
    EXPECT_EQ(nullptr, c->dev.driver) << "with an id_table the driver's own name does not match";
    EXPECT_STREQ("chip-b", dev_name(&b->dev));
    platform_device_unregister(b);
    platform_device_unregister(c);
    platform_driver_unregister(&id_driver);
}

TEST_F(Platform, AllocatedDevicesAndAutomaticIds)
{
    struct platform_device *a = platform_device_alloc("auto", PLATFORM_DEVID_AUTO);
    struct platform_device *b = platform_device_alloc("auto", PLATFORM_DEVID_AUTO);
    const int data[2] = {5, 6};
    ASSERT_EQ(0, platform_device_add_data(a, data, sizeof(data)));
    ASSERT_EQ(0, platform_device_add(a));
    ASSERT_EQ(0, platform_device_add(b));
    EXPECT_STREQ("auto.0.auto", dev_name(&a->dev));
    EXPECT_STREQ("auto.1.auto", dev_name(&b->dev));
    EXPECT_EQ(6, static_cast<const int *>(dev_get_platdata(&a->dev))[1]);
    platform_device_del(a);
    platform_device_put(a); // frees the device and its data (ASan and LSan watch)
    platform_device_unregister(b);

    struct platform_device *never = platform_device_alloc("never", 0);
    platform_device_put(never); // never added: the put alone frees it

    khost::fail_nth("kmalloc", 1);
    EXPECT_EQ(nullptr, platform_device_alloc("none", 0));
}

TEST_F(Platform, SysfsShape)
{
    struct platform_device *pdev = make("demo", 3);
    ASSERT_EQ(0, platform_device_register(pdev));
    ASSERT_EQ(0, platform_driver_register(&demo_driver));
    const std::string dir = "/sys/devices/platform/demo.3";
    EXPECT_EQ("platform:demo\n", read_attr(dir + "/modalias"));
    EXPECT_EQ("DRIVER=demo\nMODALIAS=platform:demo\n", read_attr(dir + "/uevent"));
    EXPECT_EQ("../../../bus/platform/drivers/demo", link_of(dir + "/driver"));
    EXPECT_EQ("../../../bus/platform", link_of(dir + "/subsystem"));
    EXPECT_EQ("../../../devices/platform/demo.3", link_of("/sys/bus/platform/devices/demo.3"));
    EXPECT_EQ("../../../../devices/platform/demo.3", link_of("/sys/bus/platform/drivers/demo/demo.3"));
    EXPECT_EQ("platform:demo\n", read_attr("/sys/bus/platform/drivers/demo/demo.3/modalias"));

    // Unbinding and binding again through the driver's files.
    EXPECT_EQ(7, write_attr("/sys/bus/platform/drivers/demo/unbind", "demo.3\n"));
    EXPECT_EQ(nullptr, pdev->dev.driver);
    EXPECT_FALSE(kern::vfs::exists(dir + "/driver"));
    EXPECT_EQ(-ENODEV, write_attr("/sys/bus/platform/drivers/demo/unbind", "demo.3"));
    EXPECT_EQ(6, write_attr("/sys/bus/platform/drivers/demo/bind", "demo.3"));
    EXPECT_EQ(&demo_driver.driver, pdev->dev.driver);
    EXPECT_EQ(-ENODEV, write_attr("/sys/bus/platform/drivers/demo/bind", "nothing"));

    platform_driver_unregister(&demo_driver);
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/platform/drivers/demo"));
    platform_device_unregister(pdev);
    EXPECT_FALSE(kern::vfs::exists(dir));
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/platform/devices/demo.3"));
}

// What Linux reports, reported here: each test commits the misuse and takes
// the report.
TEST_F(Platform, DoubleRegistrationIsReported)
{
    struct platform_device *pdev = make("demo", 0);
    ASSERT_EQ(0, platform_device_register(pdev));
    EXPECT_EQ(-EEXIST, platform_device_register(pdev));
    EXPECT_TRUE(took_reports({"tried to init an initialized object"}));

    struct platform_device *same_name = make("demo", 0);
    EXPECT_EQ(-EEXIST, platform_device_register(same_name));
    EXPECT_TRUE(took_reports({"cannot create duplicate filename '/devices/platform/demo.0'"}));
    platform_device_put(same_name); // as Linux asks after a failed registration
    EXPECT_EQ(events.back(), "device release");

    // A driver's second registration is refused with the kernel's error line.
    khost::log_clear();
    ASSERT_EQ(0, platform_driver_register(&demo_driver));
    EXPECT_EQ(-EBUSY, platform_driver_register(&demo_driver));
    EXPECT_TRUE(khost::log_contains("Error: Driver 'demo' is already registered, aborting..."));
    platform_driver_unregister(&demo_driver);
    platform_device_unregister(pdev);

    // A static device registered again after its release: Linux complains
    // of the kobject initialised twice, and goes on.
    ASSERT_EQ(0, platform_device_register(pdev));
    EXPECT_TRUE(took_reports({"tried to init an initialized object"}));
    EXPECT_TRUE(device_is_registered(&pdev->dev));
    platform_device_unregister(pdev);
}

TEST_F(Platform, UnregisteringWhatIsNotRegisteredIsReported)
{
    struct platform_device *pdev = make("demo", 0);
    platform_device_unregister(pdev);
    EXPECT_TRUE(took_reports({"platform device demo"}));
    ASSERT_EQ(0, platform_device_register(pdev));
    platform_device_unregister(pdev);
    platform_device_unregister(pdev);
    EXPECT_TRUE(took_reports({"is not registered, yet it is being unregistered"}));

    platform_driver_unregister(&demo_driver);
    EXPECT_TRUE(took_reports({"Unexpected driver unregister!"}));
    ASSERT_EQ(0, platform_driver_register(&demo_driver));
    platform_driver_unregister(&demo_driver);
    platform_driver_unregister(&demo_driver);
    EXPECT_TRUE(took_reports({"Unexpected driver unregister!"}));

    struct device loose = {};
    put_device(&loose);
    EXPECT_TRUE(took_reports({"is not initialized, yet kobject_put() is being called"}));
}

TEST_F(Platform, DeviceWithoutReleaseIsReportedAtItsLastPut)
{
    struct platform_device broken = {.name = "broken", .id = PLATFORM_DEVID_NONE};
    ASSERT_EQ(0, platform_device_register(&broken));
    get_device(&broken.dev);
    platform_device_unregister(&broken);
    EXPECT_TRUE(khost::take_warnings().empty()) << "a reference is still held";
    put_device(&broken.dev);
    EXPECT_TRUE(took_reports({"Device 'broken' does not have a release() function, it is broken and must be fixed."}));
    put_device(&broken.dev);
    EXPECT_TRUE(took_reports({"refcount_t: underflow; use-after-free"}));
}

int relocking_probe(struct platform_device *pdev)
{
    device_lock(&pdev->dev); // already held by the bus: deadlocks on Linux
    device_unlock(&pdev->dev);
    return 0;
}
struct platform_driver relocker = {.probe = relocking_probe, .driver = {.name = "relocker"}};

TEST_F(Platform, LockingTheDeviceInItsOwnProbeIsReported)
{
    struct platform_device *pdev = make("relocker", 0);
    ASSERT_EQ(0, platform_driver_register(&relocker));
    ASSERT_EQ(0, platform_device_register(pdev));
    EXPECT_TRUE(took_reports({"BUG: possible recursive locking detected: device_lock(relocker.0)"}));
    platform_device_unregister(pdev);
    platform_driver_unregister(&relocker);
}

} // namespace
