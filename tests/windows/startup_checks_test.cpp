// The start-up checks of Initialize under Wine, each case with a plug-in
// folder of its own: the feature step against a system-information library
// that is unsigned, without "GetFeatures" or reporting a feature word; the
// user-session check by session value and product line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/pelorus.h"
#include "plugin/startup_checks.h"
#include "hwinfo_machine.h"
#include "machine_test_support.h"

namespace {

using machine_test::LogCapture;

// A plug-in folder with the signed system-information stand-in reporting
// `features` and `productLine`.
struct ProbeFolder : HwMachine {
  explicit ProbeFolder(const char* features, const char* productLine = "Desktop")
      : HwMachine(L"SysInfoProbe.dll", std::string("[SysInfoProbe]\nFeatures=") + features +
                                           "\nProductLine=" + productLine + "\n") {}
};

// The resume watchers' windows of this process, once `expected` of them
// appeared (each watcher thread makes one), or after 10 s.
size_t WatcherWindows(size_t expected) {
  size_t count = 0;
  for (int i = 0; i < 100; ++i, Sleep(100)) {
    count = 0;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"PowerSavingCard", nullptr));) {
      DWORD process = 0;
      GetWindowThreadProcessId(w, &process);
      if (process == GetCurrentProcessId()) ++count;
    }
    if (count >= expected) break;
  }
  return count;
}
// No watcher after a while.
bool NoWatcher() {
  Sleep(500);
  return WatcherWindows(0) == 0;
}

// One Initialize of a fresh plug-in object, with both logs recorded.
struct Started {
  explicit Started(uint32_t session) : plugin(QueryLibrary(session)) {
    host.Attach(plugin.get());
    status = plugin->Initialize();
  }
  ~Started() { plugin->Uninitialize(); }

  LogCapture diag;  // before the plug-in, so it sees every line
  machine_test::PluginPtr plugin;
  RecordingHost host;
  HRESULT status = 0;
};

// (A missing library fails the same signature check.)
TEST(FeatureStep, AnUnsignedLibraryFailsInitialize) {
  HwMachine folder;
  folder.Place(L"no_features_library.dll", L"SysInfoProbe.dll");  // unsigned
  FeatureBits = 0x31;
  Started s(0);
  EXPECT_EQ(s.status, 1);
  EXPECT_TRUE(s.host.HasLog(2, u"[PELORUS][Initialize] SysInfoProbe.dll IsQuonSignature ERROR"));
  EXPECT_TRUE(s.diag.Contains("[PELORUS][Initialize] SysInfoProbe.dll IsQuonSignature ERROR"));
  EXPECT_FALSE(s.diag.Contains("[PELORUS][Initialize] END initial"));
  EXPECT_TRUE(NoWatcher());
  EXPECT_TRUE(m_bInitializedFlag.exchange(false));
  EXPECT_EQ(FeatureBits.load(), 0x31u);  // the word is left alone
}

TEST(FeatureStep, ALibraryWithoutGetFeaturesLeavesTheWordAlone) {
  HwMachine folder;
  folder.Place(L"no_features_library_quon.dll", L"SysInfoProbe.dll");
  FeatureBits = 0x30;
  Started s(0);
  EXPECT_EQ(s.status, 0);
  EXPECT_TRUE(s.host.HasLog(4, u"[PELORUS][Initialize] getFeatures is NULL"));
  EXPECT_EQ(FeatureBits.load(), 0x30u);
  EXPECT_FALSE(s.diag.Contains("[PELORUS][Initialize] before ThreadFunction...."));
}

TEST(FeatureStep, FeatureWordSixIsKeptAndStartsNoWatcher) {
  ProbeFolder folder("6");
  Started s(0);
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(FeatureBits.load(), 6u);
  EXPECT_TRUE(NoWatcher());
  EXPECT_EQ(s.diag.Messages(), (std::vector<std::string>{
                                   "[PELORUS][Initialize] star initial",
                                   "[PELORUS][Initialize] GetFeatures Start",
                                   "[PELORUS][Initialize] before check digital sigature",
                                   "[PELORUS][Initialize] After check digital sigature",
                                   "[PELORUS][Initialize] before load OP dll",
                                   "[PELORUS][Initialize] after load OP dll",
                                   "[PELORUS][Initialize] after pGetFeaturesFuntion",
                                   "[PELORUS][Initialize] getFeatures is 6",
                                   "[PELORUS][Initialize] After FreeLibrary(pGetFeaturesFuntion)",
                                   "[PELORUS][Initialize] END initial",
                               }));
  EXPECT_TRUE(s.host.HasLog(4, u"[PELORUS][Initialize] getFeatures is 6"));
}

TEST(FeatureStep, BitZeroStartsOneWatcherPerFeatureStep) {
  ProbeFolder folder("1");
  Started s(0);
  EXPECT_EQ(s.status, 0);
  EXPECT_TRUE(s.host.HasLog(4, u"[PELORUS][Initialize] before ThreadFunction...."));
  EXPECT_TRUE(s.host.HasLog(4, u"[PELORUS][Initialize] after ThreadFunction...."));
  EXPECT_EQ(WatcherWindows(1), 1u);
  // A second Initialize has no feature step; one after Uninitialize has.
  EXPECT_EQ(s.plugin->Initialize(), 0);
  Sleep(500);
  EXPECT_EQ(WatcherWindows(1), 1u);
  EXPECT_EQ(s.plugin->Uninitialize(), 0);
  EXPECT_EQ(s.plugin->Initialize(), 0);
  EXPECT_EQ(WatcherWindows(2), 2u);
}

// --- The user-session check --------------------------------------------------------------

TEST(UserSessionCheck, RunsOnlyInTheUserSessionOfAMainboard) {
  const struct {
    uint32_t session;
    const char* productLine;
    bool mainboard;  // the mainboard test ran and said yes
    bool tested;     // the mainboard test ran
  } cases[] = {
      {0, "Motherboard", false, false}, {2, "Motherboard", false, false},
      {1, "motherboard", false, true},  {1, "Motherboard1", false, true},
      {1, "Motherboard", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "session " << c.session);
    ProbeFolder folder("0", c.productLine);  // no setup program in it
    Started s(c.session);
    EXPECT_EQ(s.status, 0);
    const std::string productLine =
        std::string("[isSupportMotherboard] ProductLine = ") + c.productLine;
    EXPECT_EQ(s.host.HasLog(4, std::u16string(productLine.begin(), productLine.end())), c.tested);
    if (c.tested) {
      EXPECT_TRUE(s.diag.Contains(productLine));
      EXPECT_TRUE(s.diag.Contains(std::string("[isSupportMotherboard] isSupportMotherboard = ") +
                                  (c.mainboard ? "1" : "0")));
    }
    EXPECT_EQ(s.diag.Contains("[PELORUS][Initialize] check SetupQuonServices signature"),
              c.mainboard);
    EXPECT_EQ(s.host.HasLog(2,
                            u"[PELORUS][Initialize] SetupQuonServices.exe doesn't run ,casue "
                            u"IsQuonSignature = false"),
              c.mainboard);
    EXPECT_EQ(s.diag.Contains("[PELORUS][Initialize] [Initialize] SetupQuonServices.exe doesn't "
                              "run ,casue IsQuonSignature = false"),
              c.mainboard);
  }
}

// The mainboard test loads the library only when the trust check accepts its
// signer: a copy signed by another company is never loaded, so its product
// line is not read and the setup step does not run.
TEST(UserSessionCheck, ADifferentlySignedLibraryIsNotLoadedForTheMainboardTest) {
  ProbeFolder folder("0", "Motherboard");
  folder.Place(L"SysInfoProbe_other.dll", L"SysInfoProbe.dll");
  Started s(1);
  EXPECT_TRUE(s.host.HasLog(2,
                            u"[PELORUS][Initialize] SysInfoProbe.dll refused: not signed by the "
                            u"maker, not loaded for the mainboard test"));
  EXPECT_FALSE(s.diag.Contains("[isSupportMotherboard]"));
  for (const RecordedLog& line : s.host.logs()) {
    EXPECT_EQ(line.text.find(u"[isSupportMotherboard]"), std::u16string::npos);
  }
  EXPECT_FALSE(s.diag.Contains("[PELORUS][Initialize] check SetupQuonServices signature"));
}

using UserSessionSetup = machine_test::FanServiceMachineTest;

TEST_F(UserSessionSetup, ASignedSetupProgramInstallsTheServices) {
  ProbeFolder folder("0", "Motherboard");
  folder.Place(L"SetupQuonServices.exe");
  folder.Place(L"QuonFanControlService.exe");
  Started s(1);
  EXPECT_EQ(s.status, 0);
  EXPECT_TRUE(
      s.host.HasLog(4, u"[PELORUS][Initialize] check signature OK, before installSetupService"));
  EXPECT_TRUE(s.host.HasLog(
      4, u"[PELORUS][Initialize] SetupQuonServices.exe Running ,IsQuonSignature = true"));
  EXPECT_TRUE(machine_test::ServiceExists());
  // The service runs from this case's folder: stop it before the folder goes.
  machine_test::RemoveService(machine_test::kFanService);
  machine_test::WaitNoProcess(L"QuonFanControlService.exe");
}

}  // namespace
