// Device configuration files: the accepted shapes and each rejected one.
#include "tools/qrmhost/device_config.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

TEST(DeviceConfig, SingleObjectIsOneDevice) {
  std::vector<DeviceConfig> d;
  std::string error;
  ASSERT_TRUE(ParseDeviceConfigs(
      R"({"id": 4294967295, "ip": "127.0.0.1:1161", "address": 1,
          "appSetting": {"use_thread": 0, "b_mode": 2}})",
      &d, &error))
      << error;
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].id, 4294967295u);
  EXPECT_FALSE(d[0].own_thread);
  EXPECT_EQ(d[0].settings["ip"].asString(), "127.0.0.1:1161");
  EXPECT_EQ(d[0].settings["appSetting"]["b_mode"].asInt(), 2) << "the whole object is kept";
}

TEST(DeviceConfig, DeviceListAndOwnThreadFlag) {
  std::vector<DeviceConfig> d;
  std::string error;
  ASSERT_TRUE(ParseDeviceConfigs(
      R"({"devices": [{"id": 0}, {"id": 7, "appSetting": {"use_thread": 1}},
                      {"id": 8, "appSetting": {"use_thread": "1"}},
                      {"id": 9, "appSetting": {"use_thread": "0"}},
                      {"id": 10, "appSetting": {"use_thread": true}},
                      {"id": 11, "appSetting": {"use_thread": 0.5}},
                      {"id": 12, "appSetting": {"use_thread": "0.5"}},
                      {"id": 13, "appSetting": {"use_thread": " 2x"}}]})",
      &d, &error))
      << error;
  ASSERT_EQ(d.size(), 8u);
  EXPECT_EQ(d[1].id, 7u);
  EXPECT_FALSE(d[0].own_thread);
  EXPECT_TRUE(d[1].own_thread);
  EXPECT_TRUE(d[2].own_thread);
  EXPECT_FALSE(d[3].own_thread);
  // The device's own reading decides: true, 0.5 and "0.5" leave it host-driven.
  EXPECT_FALSE(d[4].own_thread);
  EXPECT_FALSE(d[5].own_thread);
  EXPECT_FALSE(d[6].own_thread);
  EXPECT_TRUE(d[7].own_thread);
}

TEST(DeviceConfig, EachBadCaseIsOneClearLine) {
  const struct {
    std::string text;
    const char* expected;
  } cases[] = {
      {"{\"id\": 1,\n \"ip\": }", "invalid JSON: Line 2, Column"},
      {"{\"id\": 1} trailing", "invalid JSON"},
      {"{\"id\": 1, \"id\": 2}", "Duplicate key"},
      {"[{\"id\": 1}]", "must be a JSON object"},
      {"{\"ip\": \"127.0.0.1\"}", "the device has no \"id\""},
      {"{\"id\": -1}", "\"id\" must be an integer from 0 to 4294967295, not -1"},
      {"{\"id\": 4294967296}", "not 4294967296"},
      {"{\"id\": 1.5}", "not 1.5"},
      {"{\"id\": \"1\"}", "not \"1\""},
      {"{\"id\": true}", "not true"},
      {"{\"id\": null}", "not null"},
      {"{\"devices\": {}}", "\"devices\" must be a non-empty array"},
      {"{\"devices\": []}", "\"devices\" must be a non-empty array"},
      {"{\"devices\": [{\"id\": 1}, 5]}", "device 2 of \"devices\" is not a JSON object"},
      {"{\"devices\": [{\"id\": 1}, {}]}", "device 2 of \"devices\" has no \"id\""},
      {"{\"devices\": [{\"id\": 3}, {\"id\": 4}, {\"id\": 3}]}",
       "id 3 is given to two devices (1 and 3 of \"devices\"): each device needs an id of its own"},
      // What the file is, rather than a bare syntax error, and what a slip most likely meant.
      {"", "the file is empty: it needs one device object, or {\"devices\": [...]}"},
      {" \n\t", "the file is empty"},
      {"\n// unit 1\n{\"id\": 1}",
       "invalid JSON: Line 2, Column 1: a comment, which JSON does not allow"},
      {"{\"ip\": \"a//b\", \"id\": /* unit */ 1}", "Line 1, Column 22: a comment"},
      // jsoncpp itself lets a comment after a member's value pass, even in strict mode.
      {"{\"id\": 1, // unit 1\n \"ip\": \"h\"}", "Line 1, Column 11: a comment"},
      {"{\"device\": [{\"id\": 1}]}",
       "\"device\" is not a key of the file: did you mean \"devices\"?"},
      {"{\"Devices\": [{\"id\": 1}]}", "did you mean \"devices\"?"},
      {std::string(100000, '[') + std::string(100000, ']'), "invalid JSON: "},
  };
  for (const auto& t : cases) {
    std::vector<DeviceConfig> d;
    std::string error;
    EXPECT_FALSE(ParseDeviceConfigs(t.text, &d, &error)) << t.text.substr(0, 80);
    EXPECT_NE(error.find(t.expected), std::string::npos) << t.text.substr(0, 80) << " -> " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

// Before any device exists, what would make one walk nothing or the wrong unit is named, per
// device; the file is still taken.
TEST(DeviceConfig, EachDeviceIsCheckedForItsUnitAndUnknownKeys) {
  const std::string no_unit = ": the device has no unit to walk",
                    address = "\"address\" must be an integer from 0 to 255, not ",
                    unit_0 = ": the walk reads the unit at address 0";
  const struct {
    const char* device;
    std::vector<std::string> warnings;
  } cases[] = {
      {R"({"id": 1, "ip": "10.0.5.21", "address": "7", "appSetting": {"x": 1},
           "thresholdSetting": {}})",
       {}},
      {R"({"id": 2})", {"device 2: no \"ip\"" + no_unit, "device 2: no \"address\"" + unit_0}},
      {R"({"id": 3, "ip": "", "address": 256, "adress": 3, "IP": "x", "colour": 1})",
       {"device 3: \"IP\" (did you mean \"ip\"?), \"adress\" (did you mean \"address\"?), "
        "\"colour\" are not keys of a device (id, ip, address, appSetting, thresholdSetting); "
        "ignored",
        "device 3: \"ip\" is empty" + no_unit, "device 3: " + address + "256" + unit_0}},
      {R"({"id": 4, "ip": 10, "address": "1x"})",
       {"device 4: \"ip\" must be a text naming the unit (\"host\" or \"host:port\"), not 10" +
            no_unit,
        "device 4: " + address + "\"1x\"" + unit_0}},
      {R"({"id": 5, "ip": null, "address": true})",
       {"device 5: no \"ip\"" + no_unit, "device 5: " + address + "true" + unit_0}},
      {R"({"id": 6, "ip": "10.0.5.21:70000", "address": 1})",
       {"device 6: ip \"10.0.5.21:70000\": the port must be a number from 1 to 65535, not 70000; "
        "the device does not walk"}},
  };
  for (const auto& c : cases) {
    std::vector<DeviceConfig> d;
    std::string error;
    ASSERT_TRUE(ParseDeviceConfigs(std::string(R"({"devices": [)") + c.device + "]}", &d, &error))
        << error;
    EXPECT_EQ(d.at(0).warnings, c.warnings) << c.device;
  }
  // Loading the file writes them, one line each, before anything else happens.
  TempDir dir;
  const std::string path =
      dir.Write("units.json", R"({"devices": [{"id": 2}, {"id": 9, "ip": "a", "address": 1}],
                                  "appSetting": {"timeout_ms": 500}})");
  std::vector<DeviceConfig> d;
  std::string error;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(LoadDeviceConfigs(path, &d, &error)) << error;
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "qrmhost: warning: " + path +
                ": \"appSetting\" is not a key of the file, which holds \"devices\" only (a "
                "device's keys go in each device object); ignored\n" +
                "qrmhost: warning: " + path +
                ": device 2: no \"ip\": the device has no unit to walk\n" + "qrmhost: warning: " +
                path + ": device 2: no \"address\": the walk reads the unit at address 0\n");
}

TEST(DeviceConfig, FileErrorsNameTheFile) {
  TempDir dir;
  std::vector<DeviceConfig> d;
  std::string error;
  EXPECT_FALSE(LoadDeviceConfigs(dir / "missing.json", &d, &error));
  EXPECT_NE(error.find(dir / "missing.json"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_FALSE(LoadDeviceConfigs(dir.path(), &d, &error)) << "a directory is not a file";
  EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
  const std::string bad = dir.Write("bad.json", "{\"id\": 1,,}");
  EXPECT_FALSE(LoadDeviceConfigs(bad, &d, &error));
  EXPECT_EQ(error.rfind(bad + ": invalid JSON: Line 1, Column", 0), 0u) << error;
  const std::string good = dir.Write("good.json", "{\"id\": 12}");
  ASSERT_TRUE(LoadDeviceConfigs(good, &d, &error)) << error;
  EXPECT_EQ(d.at(0).id, 12u);
}

}  // namespace
