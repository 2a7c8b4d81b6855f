// Reads the resources back out of the built quillmark.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "resources/version.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

std::wstring ProgramPath() {
  const char* path = std::getenv("QUILLMARK_EXE");
  return path == nullptr ? std::wstring() : std::wstring(path, path + std::strlen(path));
}

class ProgramResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.Reset(::LoadLibraryExW(ProgramPath().c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module_) << "cannot load " << std::string(ProgramPath().begin(), ProgramPath().end());
  }

  std::string_view Resource(const wchar_t* name, const wchar_t* type) const {
    HRSRC found = ::FindResourceW(module_.Get(), name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = ::LoadResource(module_.Get(), found);
    return {static_cast<const char*>(::LockResource(loaded)), ::SizeofResource(module_.Get(), found)};
  }

  UniqueModule module_;
};

TEST_F(ProgramResources, ApplicationManifestDeclaresFiveSystemsAndNoSdkAssembly) {
  const std::string manifest(Resource(MAKEINTRESOURCEW(1), RT_MANIFEST));
  for (const char* id : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                         "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                         "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
    EXPECT_NE(manifest.find(id), std::string::npos) << id;
  }
  EXPECT_EQ(manifest.find("OmxApi"), std::string::npos);
}

TEST_F(ProgramResources, SdkManifestNamesBothDependentAssemblies) {
  const std::string manifest(Resource(MAKEINTRESOURCEW(101), RT_MANIFEST));
  EXPECT_NE(manifest.find(R"(type="win32" name="OmxApi" version="1.0.0.1")"), std::string::npos);
  EXPECT_NE(manifest.find(R"(type="win32" name="OmxCoreApi.tlb" version="1.0.0.0")"),
            std::string::npos);
}

TEST_F(ProgramResources, TokenResourceIsPrefixAndBase64Line) {
  const std::string_view token = Resource(L"OMXATC", L"OMXRES");
  ASSERT_EQ(token.size(), 293u);
  EXPECT_EQ(token.substr(0, 13), "embedded.atc:");
  const std::string_view body = token.substr(13);
  const std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  EXPECT_EQ(body.find_first_not_of(alphabet), std::string_view::npos);
}

TEST_F(ProgramResources, VersionResourceCarriesTheOneVersionNumber) {
  const std::wstring path = ProgramPath();
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(QM_VERSION_MINOR, QM_VERSION_MAJOR)));
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
