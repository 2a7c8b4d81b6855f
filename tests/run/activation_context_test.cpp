// The side-by-side activation context through which the SDK is reached.
#include "run/activation_context.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/registry_sandbox.h"
#include "resources/resource_ids.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

TEST(ActivationContextFolder, IsTheModuleFileNameWithoutItsLastComponent) {
  EXPECT_EQ(FolderOfModuleName(L"C:\\Agent\\bin\\quillmark.exe", 4096), L"C:\\Agent\\bin");
  EXPECT_EQ(FolderOfModuleName(L"quillmark.exe", 4096), L"");
}

TEST(ActivationContextFolder, IsEmptyWhenTheNameFilledTheWholeBuffer) {
  const std::wstring cut = L"C:\\" + std::wstring(4093, L'a');
  EXPECT_EQ(FolderOfModuleName(cut, 4096), L"");
}

TEST(ActivationContext, FromTheProgramManifestIsCreatedAndActivatedForTheScope) {
  CActivationContext context(::GetModuleHandleW(nullptr), nullptr, QM_MANIFEST_APPLICATION);
  ASSERT_NE(context.Handle(), INVALID_HANDLE_VALUE) << context.LastError();
  EXPECT_EQ(context.LastError(), 0u);
  EXPECT_FALSE(context.Folder().empty());
  {
    CActivationScope scope(context);
    EXPECT_TRUE(scope.IsActive());
    UniqueActivationContext active;
    ASSERT_TRUE(::GetCurrentActCtx(active.Put()));
    EXPECT_EQ(active.Get(), context.Handle());
  }
  UniqueActivationContext after;
  ASSERT_TRUE(::GetCurrentActCtx(after.Put()));
  EXPECT_NE(after.Get(), context.Handle());
}

TEST(ActivationContext, WhoseAssembliesAreMissingFailsAndItsScopeActivatesNothing) {
  const std::filesystem::path empty =
      std::filesystem::temp_directory_path() / ("qm_no_sdk_" + std::to_string(::GetCurrentProcessId()));
  std::filesystem::create_directories(empty);
  CActivationContext context(::GetModuleHandleW(nullptr), empty.wstring().c_str(), QM_MANIFEST_SDK);
  EXPECT_EQ(context.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_NE(context.LastError(), 0u);
  EXPECT_EQ(context.Folder(), empty.wstring());
  CActivationScope scope(context);
  EXPECT_FALSE(scope.IsActive());
  std::filesystem::remove_all(empty);
}

// The only test of this binary that asks for the SDK context: the first
// answer is kept for the whole process.
TEST(SdkActivationContext, IsNotRetriedAfterAFailedFirstAttempt) {
  testing::RegistrySandbox sandbox;
  EXPECT_EQ(GetSdkActivationContext(), nullptr);
  sandbox.SetText(L"Software\\Orvex Software\\Setup", L"Path", L"C:\\Agent");
  EXPECT_EQ(GetSdkActivationContext(), nullptr);
}

}  // namespace
}  // namespace qm
