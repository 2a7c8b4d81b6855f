// Reads the resources back out of the built quillmark.exe. The version
// resource (the program identifier, the document's file version) and the SDK's
// manifest 101 show in every end-to-end run.
#include <windows.h>

#include <gtest/gtest.h>

#include <string_view>

#include "support/unique_resource.h"

namespace qm {
namespace {

class ProgramResources : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = QM_QUILLMARK_EXE;
    module_.Reset(
        ::LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module_) << "cannot load " << path;
  }

  std::string_view Resource(const wchar_t* name, const wchar_t* type) const {
    HRSRC found = ::FindResourceW(module_.Get(), name, type);
    if (found == nullptr) return {};
    return {static_cast<const char*>(::LockResource(::LoadResource(module_.Get(), found))),
            ::SizeofResource(module_.Get(), found)};
  }

  UniqueModule module_;
};

TEST_F(ProgramResources, ApplicationManifestDeclaresFiveSystemsAndNotTheSdk) {
  const std::string_view application = Resource(MAKEINTRESOURCEW(1), RT_MANIFEST);
  for (const char* id :
       {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
    EXPECT_NE(application.find(id), std::string_view::npos) << id;
  }
  // Naming the SDK here would stop the program from starting without it.
  EXPECT_EQ(application.find("OmxApi"), std::string_view::npos);
}

// No code reads it; it ships for the agent's tools.
TEST_F(ProgramResources, TokenResourceIsPrefixAndBase64Line) {
  const std::string_view token = Resource(L"OMXATC", L"OMXRES");
  ASSERT_EQ(token.size(), 293u);
  EXPECT_EQ(token.substr(0, 13), "embedded.atc:");
  EXPECT_EQ(token.substr(13).find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string_view::npos);
}

}  // namespace
}  // namespace qm
