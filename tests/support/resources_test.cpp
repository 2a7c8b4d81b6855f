// Reads the resources back out of the built quillmark.exe. The version
// resource (the program identifier, the document's file version) and the SDK's
// manifest 101 show in every end-to-end run.
#include <windows.h>

#include <gtest/gtest.h>

#include <string_view>

#include "support/unique_resource.h"

namespace qm {
namespace {

// The application manifest declares five systems and not the SDK; the token,
// which no code reads, ships for the agent's tools.
TEST(ProgramResources, ManifestNamesFiveSystemsNotTheSdkAndTokenIsPrefixAndBase64Line) {
  const UniqueModule module(::LoadLibraryExA(
      QM_QUILLMARK_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_TRUE(module) << "cannot load " << QM_QUILLMARK_EXE;
  const auto resource = [&](const wchar_t* name, const wchar_t* type) -> std::string_view {
    HRSRC found = ::FindResourceW(module.Get(), name, type);
    if (found == nullptr) return {};
    return {static_cast<const char*>(::LockResource(::LoadResource(module.Get(), found))),
            ::SizeofResource(module.Get(), found)};
  };
  const std::string_view application = resource(MAKEINTRESOURCEW(1), RT_MANIFEST);
  for (const char* id :
       {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
    EXPECT_NE(application.find(id), std::string_view::npos) << id;
  }
  // Naming the SDK here would stop the program from starting without it.
  EXPECT_EQ(application.find("OmxApi"), std::string_view::npos);

  const std::string_view token = resource(L"OMXATC", L"OMXRES");
  ASSERT_EQ(token.size(), 293u);
  EXPECT_EQ(token.substr(0, 13), "embedded.atc:");
  EXPECT_EQ(token.substr(13).find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string_view::npos);
}

}  // namespace
}  // namespace qm
