// The platform bus: probe at registration in either order, remove and
// managed resources at unregistration, and a failed probe unwound.
#include <linux/device.h>
#include <linux/platform_device.h>
#include <linux/slab.h>

#include <khost/kernel.hpp>

#include <gtest/gtest.h>

#include <string>
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
    return probe_result;
}

int demo_remove(struct platform_device *pdev)
{
    events.push_back("remove");
    return 0;
}

void demo_release(struct device *dev) { events.push_back("device release"); }

struct platform_device demo_device = {.name = "demo", .id = 0, .dev = {.release = demo_release}};
struct platform_driver demo_driver = {.probe = demo_probe, .remove = demo_remove, .driver = {.name = "demo"}};

class Platform : public ::testing::Test {
protected:
    void SetUp() override
    {
        events.clear();
        probe_result = 0;
    }
};

TEST_F(Platform, DeviceFirstThenDriverProbesAtDriverRegistration)
{
    ASSERT_EQ(platform_device_register(&demo_device), 0);
    EXPECT_TRUE(events.empty());
    ASSERT_EQ(platform_driver_register(&demo_driver), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"probe demo.0"}));
    platform_device_unregister(&demo_device);
    platform_driver_unregister(&demo_driver);
    EXPECT_EQ(events, (std::vector<std::string>{"probe demo.0", "remove", "release second", "release first",
                                                "device release"}));
}

TEST_F(Platform, DriverFirstThenDeviceProbesAtDeviceRegistration)
{
    ASSERT_EQ(platform_driver_register(&demo_driver), 0);
    ASSERT_EQ(platform_device_register(&demo_device), 0);
    EXPECT_EQ(events.size(), 1u);
    platform_driver_unregister(&demo_driver); // unbinds: the device stays
    EXPECT_EQ(events.back(), "release first");
    platform_device_unregister(&demo_device);
    EXPECT_EQ(events.back(), "device release");
}

TEST_F(Platform, FailedProbeReleasesWhatItGotAndLeavesTheDeviceUnbound)
{
    probe_result = -ENOMEM;
    khost::log_clear();
    platform_device_register(&demo_device);
    platform_driver_register(&demo_driver);
    EXPECT_EQ(events, (std::vector<std::string>{"probe demo.0", "release second", "release first"}));
    EXPECT_TRUE(khost::log_contains("demo: probe of demo.0 failed with error -12"));
    EXPECT_EQ(demo_device.dev.driver, nullptr);
    platform_device_unregister(&demo_device);
    platform_driver_unregister(&demo_driver);
    EXPECT_EQ(events.back(), "device release") << "no remove for an unbound device";
}

TEST_F(Platform, RegisteringTwiceIsRefused)
{
    ASSERT_EQ(platform_device_register(&demo_device), 0);
    EXPECT_EQ(platform_device_register(&demo_device), -EBUSY);
    platform_device_unregister(&demo_device);
    platform_device_unregister(&demo_device); // a second unregister does nothing
    EXPECT_EQ(events, (std::vector<std::string>{"device release"}));
}

} // namespace
