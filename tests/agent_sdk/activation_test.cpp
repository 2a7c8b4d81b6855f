// The stand-in reached the way the program reaches the SDK: an activation
// context made from manifest resource 101 with this executable's folder as the
// assembly folder, CoCreateInstance with class context 23, OleRun, then the
// root interface. Wine resolves the dependent assemblies beside the executable,
// so OmxApi.dll and its manifests are copied next to this test binary.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "collector/omx_sdk.h"
#include "sdk/sdk_scenario.h"
#include "support/com.h"
#include "support/unique_resource.h"

namespace qm::sim {
namespace {

constexpr wchar_t kChildVariable[] = L"QM_SDK_CHILD";
constexpr DWORD kClassContextOfTheProgram = 23;  // in-process server and handler, local and remote server
constexpr WORD kSdkManifestResource = 101;

std::filesystem::path ExePath() {
  std::wstring path(4096, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

std::filesystem::path SimFolder() { return ExePath().parent_path() / "SimAgent"; }

// The activation context, the activation and the apartment of one SDK session.
class ActivatedSdk {
 public:
  ActivatedSdk() {
    const std::wstring folder = ExePath().parent_path().wstring();
    ACTCTXW request{};
    request.cbSize = sizeof request;
    request.dwFlags =
        ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
    request.lpAssemblyDirectory = folder.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(kSdkManifestResource);
    request.hModule = ::GetModuleHandleW(nullptr);
    context_.Reset(::CreateActCtxW(&request));
    EXPECT_TRUE(context_) << "CreateActCtxW failed with " << ::GetLastError();
    if (context_) {
      EXPECT_TRUE(::ActivateActCtx(context_.Get(), cookie_.Put()));
    }
    apartment_ = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_TRUE(SUCCEEDED(apartment_));
  }
  ~ActivatedSdk() {
    if (SUCCEEDED(apartment_)) ::CoUninitialize();
  }
  ActivatedSdk(const ActivatedSdk&) = delete;
  ActivatedSdk& operator=(const ActivatedSdk&) = delete;

  // The configuration object, made as the program makes it.
  ComPtr<IOmxConfiguration> Configuration() {
    ComPtr<IUnknown> unknown;
    HRESULT result = ::CoCreateInstance(omx::kRootClassId, nullptr, kClassContextOfTheProgram, IID_IUnknown,
                                        unknown.PutVoid());
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(::OleRun(unknown.Get()), S_OK);
    ComPtr<IOmxRoot> root;
    EXPECT_EQ(unknown.As(root), S_OK);
    const Bstr context_id(omx::kContextProgId);
    const Bstr configuration_id(omx::kConfigurationProgId);
    ComPtr<IDispatch> context;
    ComPtr<IDispatch> object;
    ComPtr<IOmxConfiguration> configuration;
    if (!root || root->CreateObject(context_id.Get(), nullptr, context.Put()) != S_OK ||
        root->CreateObject(configuration_id.Get(), context.Get(), object.Put()) != S_OK ||
        object.As(configuration) != S_OK) {
      ADD_FAILURE() << "the configuration object was not made";
    }
    return configuration;
  }

 private:
  UniqueActivationContext context_;
  UniqueActivationCookie cookie_;
  HRESULT apartment_ = E_FAIL;
};

class SdkActivationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(SimFolder());
    std::ofstream(SimFolder() / "scenario.json")
        << R"({"name": "activation", "sdk": {"config": {"0x4009701": "MUID-ACT"}}})";
  }
};

TEST_F(SdkActivationTest, RegistrationFreeActivationReachesTheStandIn) {
  ActivatedSdk sdk;
  auto configuration = sdk.Configuration();
  ASSERT_TRUE(configuration);
  Variant muid = Variant::UInt(0);
  ASSERT_EQ(configuration->GetValue(omx::kDefaultScope, 0x4009701, muid.Mutable()), S_OK);
  EXPECT_EQ(muid.ToText(), L"MUID-ACT");

  std::ifstream log(SimFolder() / "sdk.jsonl");
  const std::string lines((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(lines.find(R"({"op":"GetValue","progId":"Omx.Configuration","item":"0x4009701")"),
            std::string::npos);
}

TEST_F(SdkActivationTest, KeptValuesReachTheNextProcess) {
  std::filesystem::remove(SimFolder() / "state.json");
  {
    ActivatedSdk sdk;
    auto configuration = sdk.Configuration();
    ASSERT_TRUE(configuration);
    ASSERT_EQ(configuration->SetValue(omx::kDefaultScope, kProfileHashItem, Variant::UInt32(0xC0FFEE).Get()),
              S_OK);
    ASSERT_EQ(configuration->SetValue(omx::kDefaultScope, kLastUploadTimeItem, Variant::Date(45123.5).Get()),
              S_OK);
  }
  std::wstring command = L"\"" + ExePath().wstring() + L"\" --gtest_filter=SdkChildProcess.* --gtest_brief=1";
  ASSERT_TRUE(::SetEnvironmentVariableW(kChildVariable, L"1"));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &process);
  ::SetEnvironmentVariableW(kChildVariable, nullptr);
  ASSERT_TRUE(started);
  const UniqueHandle child(process.hProcess);
  const UniqueHandle thread(process.hThread);
  ASSERT_EQ(::WaitForSingleObject(child.Get(), 60000), WAIT_OBJECT_0);
  DWORD exit_code = 1;
  ASSERT_TRUE(::GetExitCodeProcess(child.Get(), &exit_code));
  EXPECT_EQ(exit_code, 0u) << "the second process did not read back what the first kept";
}

// Runs only as the second process of KeptValuesReachTheNextProcess.
TEST(SdkChildProcess, ReadsWhatTheParentKept) {
  if (::GetEnvironmentVariableW(kChildVariable, nullptr, 0) == 0)
    GTEST_SKIP() << "runs as a child process only";
  ActivatedSdk sdk;
  auto configuration = sdk.Configuration();
  ASSERT_TRUE(configuration);
  Variant hash = Variant::UInt(0);
  ASSERT_EQ(configuration->GetValue(omx::kDefaultScope, kProfileHashItem, hash.Mutable()), S_OK);
  EXPECT_EQ(hash.Type(), VT_UI4);
  EXPECT_EQ(hash.Raw32(), 0xC0FFEEu);
  Variant time = Variant::UInt(0);
  ASSERT_EQ(configuration->GetValue(omx::kDefaultScope, kLastUploadTimeItem, time.Mutable()), S_OK);
  EXPECT_EQ(time.Type(), VT_DATE);
  EXPECT_DOUBLE_EQ(time.RawDate(), 45123.5);
}

}  // namespace
}  // namespace qm::sim
