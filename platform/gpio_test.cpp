// GPIO lines against the sysfs tree of a private root.
#include "zun25_gpio.h"

#include "harness.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

class GpioTest : public ::testing::Test {
protected:
  void SetUp() override { setenv("APPLIANCE_ROOT", root.path().c_str(), 1); }
  void TearDown() override { unsetenv("APPLIANCE_ROOT"); }
  zt::Root root;
};

TEST_F(GpioTest, ExportMakesTheLineAnOutputAtTheLevel)
{
  // appliance-sim's stand-in exports lines as the kernel does: the line's
  // folder appears on the export, as an input.
  zt::Sim sim(root, {"--only", "baseiod"});
  ASSERT_TRUE(sim.ok());
  const struct {
    int level;
    const char *value;
  } cases[] = {{1, "1\n"}, {0, "0\n"}, {1, "1\n"}};
  for (const auto &c : cases) {
    ASSERT_EQ(zun25_gpio_export(10, c.level), 0);
    EXPECT_EQ(root.read("/sys/class/gpio/export"), "10");
    EXPECT_TRUE(zt::wait_for([&] {
      return root.read("/sys/class/gpio/gpio10/direction") == "out\n" &&
             root.read("/sys/class/gpio/gpio10/value") == c.value;
    })) << c.level;
  }
  ASSERT_EQ(zun25_gpio_unexport(10), 0);
  EXPECT_TRUE(zt::wait_for([&] { return !root.exists("/sys/class/gpio/gpio10"); }));
}

TEST_F(GpioTest, ExportOfAnExportedLineSetsItsDirection)
{
  // The export is refused (here: no export file), the line is there.
  root.remove("/sys/class/gpio/export");
  root.write("/sys/class/gpio/gpio10/direction", "in\n");
  ASSERT_EQ(zun25_gpio_export(10, 1), 0);
  EXPECT_EQ(root.read("/sys/class/gpio/gpio10/direction"), "high");
  ASSERT_EQ(zun25_gpio_export(10, 0), 0);
  EXPECT_EQ(root.read("/sys/class/gpio/gpio10/direction"), "low");
}

TEST_F(GpioTest, PutWritesLevelsAndGetReadsThem)
{
  root.write("/sys/class/gpio/gpio10/direction", "out\n");  // an exported line
  root.write("/sys/class/gpio/gpio10/value", "0\n");
  const struct {
    int level;
    const char *written;
    int read;
  } cases[] = {{1, "1", 1}, {0, "0", 0}, {7, "1", 1}, {0, "0", 0}};
  for (const auto &c : cases) {
    ASSERT_EQ(zun25_gpio_put(10, c.level), 0);
    EXPECT_EQ(root.read("/sys/class/gpio/gpio10/value"), c.written);
    EXPECT_EQ(zun25_gpio_get(10), c.read);
  }
}

TEST_F(GpioTest, GetReadsTheKernelsLineEnd)
{
  root.write("/sys/class/gpio/gpio10/value", "1\n");
  EXPECT_EQ(zun25_gpio_get(10), 1);
  root.write("/sys/class/gpio/gpio10/value", "x\n");
  EXPECT_EQ(zun25_gpio_get(10), -1);
  root.write("/sys/class/gpio/gpio10/value", "");
  EXPECT_EQ(zun25_gpio_get(10), -1);
}

TEST_F(GpioTest, UnexportWritesTheLine)
{
  ASSERT_EQ(zun25_gpio_unexport(10), 0);
  EXPECT_EQ(root.read("/sys/class/gpio/unexport"), "10");
}

TEST_F(GpioTest, MissingFilesFail)
{
  // A line the tree does not hold has no direction or value file.
  EXPECT_EQ(zun25_gpio_put(11, 1), -1);
  EXPECT_EQ(zun25_gpio_get(11), -1);
  // Nothing exports it: the line's files never appear (a bounded wait).
  EXPECT_EQ(zun25_gpio_export(11, 1), -1);
  EXPECT_EQ(root.read("/sys/class/gpio/export"), "11");
  EXPECT_FALSE(root.exists("/sys/class/gpio/gpio11"));

  root.write("/sys/class/gpio/gpio10/value", "0\n");
  root.remove("/sys/class/gpio");
  EXPECT_EQ(zun25_gpio_export(10, 1), -1);
  EXPECT_EQ(zun25_gpio_unexport(10), -1);
  EXPECT_EQ(zun25_gpio_put(10, 1), -1);
  EXPECT_EQ(zun25_gpio_get(10), -1);
}

TEST_F(GpioTest, NegativeLineIsRefused)
{
  EXPECT_EQ(zun25_gpio_export(-1, 1), -1);
  EXPECT_EQ(zun25_gpio_unexport(-1), -1);
  EXPECT_EQ(zun25_gpio_put(-1, 1), -1);
  EXPECT_EQ(zun25_gpio_get(-1), -1);
  EXPECT_EQ(root.read("/sys/class/gpio/export"), "");
}

}  // namespace
