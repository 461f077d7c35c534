// The real plug-in library, loaded the way the host loads it.
#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "plugin/provider.h"
#include "sim/agent.h"
#include "sim/dataset.h"
#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_util.h"

namespace {

std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// Symbol names (last column) of `nm` output lines that carry a symbol type.
std::set<std::string> Symbols(const std::string& nm_output) {
  std::set<std::string> names;
  std::istringstream in(nm_output);
  std::string line;
  while (std::getline(in, line)) {
    const auto pos = line.find_last_of(' ');
    if (pos != std::string::npos && pos + 1 < line.size()) names.insert(line.substr(pos + 1));
  }
  return names;
}

// The unversioned imports (`nm -DC` names, standard string type shortened to std::string):
// what the host process, jsoncpp and net-snmp must supply. Versioned C and C++ runtime
// imports and weak references are not the host's concern.
std::set<std::string> UnversionedImports(const std::string& nm_output) {
  static const std::string kLongString =
      "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >";
  std::set<std::string> names;
  std::istringstream in(nm_output);
  std::string line;
  while (std::getline(in, line)) {
    const auto u = line.find(" U ");
    if (u == std::string::npos || line.find('@') != std::string::npos) continue;
    std::string name = line.substr(u + 3);
    for (size_t at; (at = name.find(kLongString)) != std::string::npos;)
      name.replace(at, kLongString.size(), "std::string");
    names.insert(name);
  }
  return names;
}

// Names the host's socket handle of a device, as the host sets it.
struct SocketAccess : QRMSocketDevice {
  static constexpr int QRMSocketDevice::*kSocket = &SocketAccess::m_socket;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

std::set<std::string> AllowList(const char* path) {
  std::set<std::string> names;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') names.insert(line);
  return names;
}

TEST(PluginSymbols, ExportsOnlyGetProvidersAndImportsOnlyTheAllowList) {
  const std::string defined = Shell("nm -D --defined-only " PLUGIN_PATH " 2>&1");
  EXPECT_EQ(Symbols(defined), std::set<std::string>{"get_providers"}) << defined;
  const std::set<std::string> allowed = AllowList(IMPORTS_ALLOW_PATH);
  ASSERT_GT(allowed.size(), 40u) << IMPORTS_ALLOW_PATH;
  const auto imports = UnversionedImports(Shell("nm -DC --undefined-only " PLUGIN_PATH " 2>&1"));
  // The list describes the library as it ships. A sanitizer build also imports its runtime's
  // symbols, the C library calls the runtime intercepts (unversioned) and the type information
  // that -fsanitize=vptr checks against.
  if (!kSanitizerBuild) {
    for (const std::string& name : imports)
      EXPECT_TRUE(allowed.count(name)) << "import not on the allow-list: " << name;
  }
  EXPECT_TRUE(imports.count("QRMVDevice::SendSP(int, unsigned char const*, unsigned int, bool)"))
      << "QRMVDevice::SendSP must come from the host process";
  EXPECT_TRUE(imports.count("Json::Value::type() const")) << "jsoncpp comes from the host";
  const std::string dynamic = Shell("readelf -d " PLUGIN_PATH " 2>&1");
  EXPECT_NE(dynamic.find("libnetsnmp"), std::string::npos) << "net-snmp is linked";
  EXPECT_EQ(dynamic.find("jsoncpp"), std::string::npos) << dynamic;
  EXPECT_EQ(dynamic.find("qrmhost_ref"), std::string::npos) << dynamic;
}

TEST(PluginLoading, ProvidersCreateDevicesThatWalkAndEverythingUnloads) {
  pdusim::Agent agent(pdusim::Dataset::DefaultUnit({1, 2}));
  std::string error;
  ASSERT_TRUE(agent.Start(0, &error)) << error;

  void* lib = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto get = reinterpret_cast<GetProvidersFn>(dlsym(lib, "get_providers"));
  ASSERT_NE(get, nullptr) << dlerror();
  {
    ProviderList first = get();
    ProviderList second = get();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(first[0].get(), second[0].get()) << "each call makes a new provider";
    auto* provider = dynamic_cast<QRMSocketDeviceProvider*>(first[0].get());
    ASSERT_NE(provider, nullptr);

    std::unique_ptr<QRMSocketDevice> a(provider->create());
    std::unique_ptr<QRMSocketDevice> b(provider->create());
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->DeviceType(), "snmp_marluxa_ac_power");
    try {  // the plug-in's own copy of the inline default
      a->Get_Value(0, "");
      ADD_FAILURE() << "Get_Value returned";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "数据未就绪");
    }
    EXPECT_EQ(a->GetChildVDevice(0), nullptr);
    EXPECT_EQ(a->LoadFromCache(std::string(10, 'x')), 0);

    auto obs = std::make_shared<RecordingObserver>();
    unsigned address = 1;
    for (QRMSocketDevice* d : {a.get(), b.get()}) {
      AttachHostObserver(d, obs);
      d->Init(std::weak_ptr<QRMController>(), 10 + address, Json::Value());
      testing::internal::CaptureStdout();
      EXPECT_TRUE(d->InitSetting(Parse(DeviceConfig(agent.port(), address, R"("b_mode":2)"))));
      EXPECT_EQ(d->RefreshStatus(), 0);
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_NE(out.find("SNMP_MARLUXA_AC_POWER::do_sample\n"), std::string::npos) << out;
      EXPECT_NE(out.find("rvSize is 3\n"), std::string::npos) << out;  // the default unit raises 3
      ++address;
    }
    const auto saved = obs->EventsOf("SaveHistory");
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0].device, 11u);
    EXPECT_EQ(saved[1].device, 12u);
    EXPECT_EQ(ImageSlot(saved[1].bytes, 2), 2.0f);
    EXPECT_EQ(obs->Count("CheckThresholdBool"), 2u * 429u);

    // SNMPv2c devices leave net-snmp as its plain client calls do: no SNMPv3 security model is
    // registered, so a host that initialises net-snmp now gets its own, without complaint.
    EXPECT_EQ(find_sec_mod(USM_SEC_MODEL_NUMBER), nullptr) << "USM set up for SNMPv2c devices";
    TempDir host_snmp;
    ASSERT_TRUE(host_snmp.ok());
    setenv("SNMPCONFPATH", host_snmp.path().c_str(), 1);
    setenv("SNMP_PERSISTENT_DIR", host_snmp.path().c_str(), 1);
    setenv("MIBS", "", 1);
    testing::internal::CaptureStderr();
    init_snmp("qrm_host");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("could not register"), std::string::npos) << log;
    EXPECT_NE(find_sec_mod(USM_SEC_MODEL_NUMBER), nullptr) << "the host's init_snmp set up no USM";
    // Text form of the cache restore, through the plug-in's own inline default.
    testing::internal::CaptureStdout();
    EXPECT_EQ(a->LoadFromCache(std::string(saved[0].bytes.begin(), saved[0].bytes.end())), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(obs->Count("SendSP"), 3u);

    // The plug-in's SendSocketData forwarders pass the device's socket handle, the data and its
    // length to the host's handle-taking forms and return the host's answer unchanged.
    (*a).*SocketAccess::kSocket = 42;
    obs->socket_result = -7;
    const unsigned char bytes[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(a->SendSocketData(bytes, 3), -7);
    const std::vector<boost::asio::const_buffer> buffers = {boost::asio::buffer(bytes, 2),
                                                            boost::asio::buffer(bytes + 3, 2)};
    obs->socket_result = 12;
    EXPECT_EQ(a->SendSocketData(buffers), 12);
    const auto sends = obs->EventsOf("SendSocketData");
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].kind, 42);
    EXPECT_EQ(sends[0].bytes, (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(sends[1].kind, 42);
    EXPECT_EQ(sends[1].bytes, (std::vector<unsigned char>{1, 2, 4, 5}));
  }
  EXPECT_EQ(dlclose(lib), 0);
}

}  // namespace
