// Reads the resources back out of the built quillmark.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "resources/version.h"
#include "support/text.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

class ProgramResources : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("QUILLMARK_EXE");
    path_ = FromAnsi(path == nullptr ? "" : path);
    module_.Reset(::LoadLibraryExW(path_.c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module_) << "cannot load " << ToAnsi(path_);
  }

  std::string_view Resource(const wchar_t* name, const wchar_t* type) const {
    HRSRC found = ::FindResourceW(module_.Get(), name, type);
    if (found == nullptr) return {};
    return {static_cast<const char*>(::LockResource(::LoadResource(module_.Get(), found))),
            ::SizeofResource(module_.Get(), found)};
  }

  std::wstring path_;
  UniqueModule module_;
};

TEST_F(ProgramResources, ApplicationManifestDeclaresFiveSystemsAndOnlyManifest101TheSdk) {
  const std::string_view application = Resource(MAKEINTRESOURCEW(1), RT_MANIFEST);
  for (const char* id :
       {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
    EXPECT_NE(application.find(id), std::string_view::npos) << id;
  }
  // Naming the SDK here would stop the program from starting without it.
  EXPECT_EQ(application.find("OmxApi"), std::string_view::npos);

  const std::string_view sdk = Resource(MAKEINTRESOURCEW(101), RT_MANIFEST);
  EXPECT_NE(sdk.find(R"(type="win32" name="OmxApi" version="1.0.0.1")"), std::string_view::npos);
  EXPECT_NE(sdk.find(R"(type="win32" name="OmxCoreApi.tlb" version="1.0.0.0")"),
            std::string_view::npos);
}

TEST_F(ProgramResources, TokenResourceIsPrefixAndBase64Line) {
  const std::string_view token = Resource(L"OMXATC", L"OMXRES");
  ASSERT_EQ(token.size(), 293u);
  EXPECT_EQ(token.substr(0, 13), "embedded.atc:");
  EXPECT_EQ(token.substr(13).find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string_view::npos);
}

TEST_F(ProgramResources, VersionResourceCarriesTheOneVersionNumber) {
  DWORD ignored = 0;
  std::vector<char> info(::GetFileVersionInfoSizeW(path_.c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(
      ::GetFileVersionInfoW(path_.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS,
            static_cast<DWORD>(MAKELONG(QM_VERSION_MINOR, QM_VERSION_MAJOR)));
  EXPECT_EQ(fixed->dwFileVersionLS,
            static_cast<DWORD>(MAKELONG(QM_VERSION_REVISION, QM_VERSION_BUILD)));

  WORD* translation = nullptr;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, 4u);
  wchar_t query[64];
  swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", translation[0], translation[1]);
  wchar_t* text = nullptr;
  ASSERT_TRUE(::VerQueryValueW(info.data(), query, reinterpret_cast<void**>(&text), &length));
  EXPECT_STREQ(text, L"" QM_VERSION_TEXT);
}

}  // namespace
}  // namespace qm
