// The side-by-side activation context through which the SDK is reached.
#include "run/activation_context.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/registry_sandbox.h"
#include "common/scratch_folder.h"
#include "resources/resource_ids.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

TEST(ActivationContextFolder, IsTheModuleFileNameWithoutItsLastComponentUnlessItWasCut) {
  EXPECT_EQ(FolderOfModuleName(L"C:\\Agent\\bin\\quillmark.exe", 4096), L"C:\\Agent\\bin");
  EXPECT_EQ(FolderOfModuleName(L"quillmark.exe", 4096), L"");
  // A name that filled the whole buffer may have been cut.
  EXPECT_EQ(FolderOfModuleName(L"C:\\" + std::wstring(4093, L'a'), 4096), L"");
}

HANDLE CurrentContext() {
  UniqueActivationContext active;
  EXPECT_TRUE(::GetCurrentActCtx(active.Put()));
  return active.Get();
}

TEST(ActivationContext, FromTheProgramManifestIsCreatedAndActivatedForTheScope) {
  CActivationContext context(::GetModuleHandleW(nullptr), nullptr, QM_MANIFEST_APPLICATION);
  ASSERT_NE(context.Handle(), INVALID_HANDLE_VALUE) << context.LastError();
  EXPECT_EQ(context.LastError(), 0u);
  EXPECT_FALSE(context.Folder().empty());
  {
    CActivationScope scope(context);
    EXPECT_TRUE(scope.IsActive());
    EXPECT_EQ(CurrentContext(), context.Handle());
  }
  EXPECT_NE(CurrentContext(), context.Handle());
}

TEST(ActivationContext, WhoseAssembliesAreMissingFailsAndItsScopeActivatesNothing) {
  testing::ScratchFolder empty;
  CActivationContext context(::GetModuleHandleW(nullptr), empty.Path().c_str(), QM_MANIFEST_SDK);
  EXPECT_EQ(context.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_NE(context.LastError(), 0u);
  EXPECT_EQ(context.Folder(), empty.Path().wstring());
  EXPECT_FALSE(CActivationScope(context).IsActive());
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
