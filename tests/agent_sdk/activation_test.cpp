// The stand-in reached the way the program reaches the SDK: an activation
// context made from manifest resource 101 with this executable's folder as the
// assembly folder, CoCreateInstance with class context 23, OleRun, then the
// root interface. Wine resolves the dependent assemblies beside the executable,
// so OmxApi.dll and its manifests are copied next to this test binary.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "sdk_test_support.h"
#include "support/unique_resource.h"

namespace qm::sim {
namespace {

constexpr wchar_t kChildVariable[] = L"QM_SDK_CHILD";
constexpr DWORD kClassContextOfTheProgram = 23;  // in-process server and handler, local and remote server
constexpr WORD kSdkManifestResource = 101;

std::wstring ExePath() {
  std::wstring path(4096, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

std::filesystem::path SimFolder() { return std::filesystem::path(ExePath()).parent_path() / "SimAgent"; }

// The activation context, the activation and the apartment of one SDK session.
class ActivatedSdk {
 public:
  ActivatedSdk() {
    const std::wstring folder = std::filesystem::path(ExePath()).parent_path().wstring();
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
    EXPECT_EQ(::CoCreateInstance(omx::kRootClassId, nullptr, kClassContextOfTheProgram, IID_IUnknown,
                                 unknown.PutVoid()),
              S_OK);
    EXPECT_EQ(::OleRun(unknown.Get()), S_OK);
    ComPtr<IOmxRoot> root;
    EXPECT_EQ(unknown.As(root), S_OK);
    if (!root) return {};
    const auto context = testing::Make<IDispatch>(root, omx::kContextProgId, nullptr);
    return testing::Make<IOmxConfiguration>(root, omx::kConfigurationProgId, context.Get());
  }

 private:
  UniqueActivationContext context_;
  UniqueActivationCookie cookie_;
  HRESULT apartment_ = E_FAIL;
};

// The stand-in answers from SimAgent\scenario.json beside it, logs to
// sdk.jsonl there, and keeps values in state.json for a second process: this
// binary run again.
TEST(SdkActivation, ReachesTheStandInWhoseKeptValuesReachTheNextProcess) {
  std::filesystem::create_directories(SimFolder());
  std::ofstream(SimFolder() / "scenario.json") << R"({"sdk": {"config": {"0x4009701": "MUID-ACT"}}})";
  std::filesystem::remove(SimFolder() / "state.json");
  std::filesystem::remove(SimFolder() / "sdk.jsonl");
  {
    ActivatedSdk sdk;
    auto configuration = sdk.Configuration();
    ASSERT_TRUE(configuration);
    HRESULT result = E_FAIL;
    EXPECT_EQ(testing::ReadItem(configuration, 0x4009701, result).ToText(), L"MUID-ACT");
    ASSERT_EQ(configuration->SetValue(omx::kDefaultScope, kProfileHashItem, Variant::UInt32(0xC0FFEE).Get()),
              S_OK);
    ASSERT_EQ(configuration->SetValue(omx::kDefaultScope, kLastUploadTimeItem, Variant::Date(45123.5).Get()),
              S_OK);
  }
  EXPECT_NE(testing::ReadText(SimFolder() / "sdk.jsonl")
                .find(R"("op":"SetValue","progId":"Omx.Configuration","item":"0x4009501",)"
                      R"("value":{"type":"VT_UI4","value":12648430})"),
            std::string::npos);

  std::wstring command = L"\"" + ExePath() + L"\" --gtest_filter=SdkChildProcess.* --gtest_brief=1";
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

// Runs only as the second process of the test above.
TEST(SdkChildProcess, ReadsWhatTheParentKept) {
  if (::GetEnvironmentVariableW(kChildVariable, nullptr, 0) == 0) GTEST_SKIP() << "runs as a child process only";
  ActivatedSdk sdk;
  auto configuration = sdk.Configuration();
  ASSERT_TRUE(configuration);
  HRESULT result = E_FAIL;
  const Variant hash = testing::ReadItem(configuration, kProfileHashItem, result);
  EXPECT_EQ(hash.Type(), VT_UI4);
  EXPECT_EQ(hash.Raw32(), 0xC0FFEEu);
  const Variant time = testing::ReadItem(configuration, kLastUploadTimeItem, result);
  EXPECT_EQ(time.Type(), VT_DATE);
  EXPECT_DOUBLE_EQ(time.RawDate(), 45123.5);
}

}  // namespace
}  // namespace qm::sim
