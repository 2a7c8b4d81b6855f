// The add-on step: the module status mask from the agent, the machine and the
// settings library, and the protection state.
#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "collector/add_on_probes.h"
#include "collector/mobile_feature.h"
#include "collector/sim_collector.h"
#include "common/registry_sandbox.h"
#include "common/scratch_folder.h"

namespace qm::testing {
namespace {

using sim::SdkValue;
using trace::Source;

constexpr LONG kProtectionItem = 0x400902B;
constexpr LONG kFullProtectionItem = 0x4009068;
constexpr LONG kAddOnsReadyItem = 0x4023004;
const std::wstring kAgentSetupKey = L"SOFTWARE\\Orvex Security\\SetupEx\\Halden Agent";

// The settings library as the agent would answer: the mobile setting's text,
// or no such setting when it is absent.
std::optional<std::wstring> g_mobile_setting;

class FakeSettings final : public SettingsUtility {
 public:
  std::int32_t ReadSetting(const wchar_t* key, wchar_t* buffer, std::uint32_t* size,
                           std::int32_t) override {
    if (!g_mobile_setting || std::wcscmp(key, L"REGISTER.AgentFeatures.Mobile") != 0) return 2;
    // What a library built by another compiler raises for a C++ throw.
    if (*g_mobile_setting == L"<raise>") ::RaiseException(0xE06D7363, 0, 0, nullptr);
    if (g_mobile_setting->size() + 1 > *size) return ERROR_MORE_DATA;
    std::wmemcpy(buffer, g_mobile_setting->c_str(), g_mobile_setting->size() + 1);
    return 0;
  }
};
SettingsUtility* FakeGetUtil() {
  static FakeSettings settings;
  return &settings;
}
// A real module keeps the load and free counts honest; the entry is ours.
HMODULE LoadStandIn(const wchar_t*) { return ::LoadLibraryW(L"kernel32.dll"); }
SettingsGetUtilFunction ResolveFake(HMODULE, const char* name) {
  return std::string_view(name) == "GetUtil" ? &FakeGetUtil : nullptr;
}
const SettingsLibraryLoader kFakeSettingsLibrary{&LoadStandIn, &ResolveFake};

// One machine for one collection: the agent's answers, the registry and a
// folder for the agent's companion files.
class AddOns : public Collection {
 protected:
  void SetUp() override {
    g_mobile_setting.reset();
    // Each row of a table starts from a bare machine.
    registry_.reset();
    registry_ = std::make_unique<RegistrySandbox>();
    std::filesystem::remove_all(folder_.Path());
    std::filesystem::create_directories(folder_.Path());
    scenario_ = AgentScenario();
    scenario_.config[kAddOnsReadyItem] = Int(1);
    registry_->SetText(kAgentSetupKey, L"Path", folder_.Path().wstring(), KEY_WOW64_32KEY);
    registry_->SetText(L"Software\\Orvex Software\\Setup", L"Path",
                       (folder_.Path() / L"Agent\\").wstring());
    settings_library_ = kFakeSettingsLibrary;
  }
  void File(const std::filesystem::path& relative) const {
    std::filesystem::create_directories((folder_.Path() / relative).parent_path());
    std::ofstream(folder_.Path() / relative) << "";
  }
  // Collects once with the scenario as arranged.
  CProfileData& Collected() {
    EXPECT_TRUE(CollectWith(scenario_));
    return Profile();
  }

  std::unique_ptr<RegistrySandbox> registry_;
  ScratchFolder folder_;
  sim::SdkScenario scenario_;
};

TEST_F(AddOns, EachSourceAloneSetsExactlyItsBit) {
  const sim::SdkAnswer on = Answer(sim::SdkValue::Bool(true));
  const auto item = [&](LONG id) { return [this, id, on] { scenario_.config[id] = on; }; };
  // The add-on items in mask order: item n sets bit 0x2 << n, traced as 47 + 2n.
  constexpr LONG kAddOnItems[] = {0x401C007, 0x4016001, 0x401F00B, 0x4024001, 0x4025009,
                                  0x401F004, 0x4017005, 0x401F005, 0x4023001, 0x4009952};
  const auto add_on = [&](int n) { return item(kAddOnItems[n]); };
  const auto vpn = [this](DWORD type) {
    return [this, type] {
      registry_->SetDword(L"SOFTWARE\\Orvex Security\\Vela Av\\ModROL", L"VPN_VERSION_TYPE", type);
    };
  };
  // Whatever the value's type, its first four bytes are the version type.
  const auto vpn_bytes = [this](DWORD type, const wchar_t* bytes) {
    return [this, type, bytes] {
      registry_->Set(L"SOFTWARE\\Orvex Security\\Vela Av\\ModROL", L"VPN_VERSION_TYPE", type, bytes,
                     4);
    };
  };
  struct Row {
    std::uint32_t bit;
    int trace;
    std::function<void()> arrange;
  };
  std::vector<Row> rows = {
      {0x1, 41, item(kProtectionItem)},
      {0x800, 67, [] { g_mobile_setting = L"1"; }},
      {0x1000, 66,
       [this] {
         registry_->SetText(L"Software\\Orvex Security\\Orvex Sweeper", L"CurrentPath",
                            (folder_.Path() / L"Sweeper").wstring());
         File(L"Sweeper\\SweeperApp.exe");
       }},
      {0x2000, 77, [this] { File(L"Orvex Lockbox\\lbFileKit.exe"); }},
      {0x4000, 76, [this] { File(L"Orvex Lockbox\\lbKeypad.exe"); }},
      {0x8000, 78, [this] { File(L"Orvex Lockbox\\lbKeyring.exe"); }},
      // The walk stops at the first true entry; a value that is no boolean is not true.
      {0x10000, 68,
       [this] {
         scenario_.config[0x4023002] =
             Answer(sim::SdkValue::Map({{L"a", sim::SdkValue::Bool(false)},
                                        {L"b", sim::SdkValue::Text(L"maybe")},
                                        {L"c", sim::SdkValue::Bool(true)}}));
       }},
      {0x20000, 70,
       [this] {
         registry_->SetText(L"SOFTWARE\\Microsoft\\Internet Explorer\\Toolbar",
                            L"{6D3A9E12-47B0-4C5E-A1F8-2B9C0E7D4F63}", L"", KEY_WOW64_32KEY);
       }},
      {0x40000, 71, vpn(1)},
      {0x80000, 72, vpn(2)},
      {0x80000, 72, vpn_bytes(REG_BINARY, L"\x0002")},
      {0, 74, vpn_bytes(REG_SZ, L"1")},
  };
  for (int n = 0; n < 10; ++n) rows.push_back({0x2u << n, 47 + 2 * n, add_on(n)});
  EXPECT_EQ(Collected().GetDefaultModuleStatus(), 0u);
  for (int n = 0; n < 10; ++n) {  // on a bare machine each is traced as not read, by number and id
    const trace::RecordedMessage* not_read = recorder_.Find(Source::Collector, 46 + 2 * n);
    EXPECT_TRUE(not_read && not_read->args.at(0).value == kAddOnItems[n]) << 46 + 2 * n;
  }
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "bit 0x" << std::hex << row.bit);
    SetUp();
    row.arrange();
    EXPECT_EQ(Collected().GetDefaultModuleStatus(), row.bit);
    EXPECT_NE(recorder_.Find(Source::Collector, row.trace), nullptr);
    EXPECT_EQ(recorder_.Find(Source::Collector, 73)->args[0].value, row.bit);
  }
}

TEST_F(AddOns, ProtectionStateTakesTwoOverOneAndReadsBooleansAsTheAgentStoresThem) {
  using Answered = std::optional<sim::SdkAnswer>;
  const struct {
    const char* name;
    Answered protection, full_protection;
    std::uint32_t av_state, mask;
    int trace;
    bool add_ons_ready = true;  // without the add-on state item there is no mask
  } rows[] = {
      {"neither item", {}, {}, 0, 0x2, 40},
      {"full protection", Answer(sim::SdkValue::Bool(false)), Answer(sim::SdkValue::Bool(true)), 2,
       0x2, 45},
      {"both", Answer(sim::SdkValue::Bool(true)), Answer(sim::SdkValue::Bool(true)), 2, 0x3, 45},
      {"a boolean stored as 1", Answer(sim::SdkValue::Of(VT_BOOL, 1)), {}, 1, 0x3, 42},
      {"a number converted", Int(2), {}, 1, 0x3, 42},
      {"off", Answer(sim::SdkValue::Bool(false)), {}, 0, 0x2, 43},
      {"no add-on state", {}, Answer(sim::SdkValue::Bool(true)), 2, 0, 69, false},
      // No boolean at all: not read, and the rest of the mask is still collected.
      {"a text that is no boolean", Text(L"maybe"), {}, 0, 0x2, 40},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    if (row.protection) scenario_.config[kProtectionItem] = *row.protection;
    if (row.full_protection) scenario_.config[kFullProtectionItem] = *row.full_protection;
    scenario_.config[0x401C007] = Answer(sim::SdkValue::Bool(true));  // bit 0x2
    if (!row.add_ons_ready) scenario_.config.erase(kAddOnsReadyItem);
    const CProfileData& profile = Collected();
    EXPECT_EQ(profile.GetAVState(), row.av_state);
    EXPECT_EQ(profile.GetDefaultModuleStatus(), row.mask);
    EXPECT_NE(recorder_.Find(Source::Collector, row.trace), nullptr);
  }
  EXPECT_EQ(recorder_.Find(Source::Collector, 40)->args[1].value,
            static_cast<std::int32_t>(DISP_E_TYPEMISMATCH));
}

TEST(VaultFolder, IsBesideTheSetupFolderWhateverItsTrailingSeparator) {
  const struct {
    const wchar_t* setup;
    std::optional<std::wstring> vault;
  } rows[] = {
      {L"C:\\A\\B", L"C:\\A\\Orvex Lockbox\\"},
      {L"C:\\B", L"C:\\Orvex Lockbox\\"},
      // No parent to put it beside: nothing relative is probed.
      {L"", std::nullopt},
      {L"\\", std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(VaultFolderOf(row.setup), row.vault) << ::testing::PrintToString(row.setup);
  }
}

// "1" is the bit table's, and the library's path the end-to-end delivery's.
TEST(MobileFeature, IsOffForAnyOtherTextNoSettingOrAFailingLibrary) {
  RegistrySandbox registry;
  registry.SetText(kAgentSetupKey, L"Path", L"C:\\Agent", KEY_WOW64_32KEY);
  const std::optional<std::wstring> rows[] = {L"01", L"1 ", std::nullopt, L"<raise>"};
  for (const auto& setting : rows) {
    g_mobile_setting = setting;
    EXPECT_FALSE(IsMobileFeatureEnabled(kFakeSettingsLibrary))
        << ::testing::PrintToString(setting.value_or(L"(none)"));
  }
}

}  // namespace
}  // namespace qm::testing
