// The stages of a run, with the agent's machine stood in for: which marker a
// harness finds, which exit code it reads, and what happens to the collector.
#include "run/run_profiler.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "collector/profile_data_collector.h"
#include "diagnostics/file_writer.h"
#include "profile/profile_data.h"
#include "resources/resource_ids.h"
#include "run/activation_context.h"
#include "run/test_mode_log.h"
#include "support/unique_resource.h"
#include "upload/profile_uploader.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// What the stood-in machine and collector answer, and what the run did.
struct Machine {
  bool agent = true;
  bool service = true;
  bool context = true;
  bool collector = true;
  bool initialise = true;
  bool collect = true;
  bool collect_throws = false;
  bool changed = true;
  bool resend_due = false;
  bool json = true;
  bool profile = true;
  std::wstring muid = L"0123456789ABCDEF0";
  bool temp_directory = true;
  bool uploader = true;  // one whose library never loads, so every upload fails
  fs::path folder;
  std::vector<std::string> calls;
};
Machine* g_machine = nullptr;

class FakeCollector : public ProfileDataCollector {
 public:
  FakeCollector() { profile_.SetMUID(g_machine->muid); }
  ~FakeCollector() override { g_machine->calls.push_back("destroyed"); }

  bool Initialise() override { return g_machine->initialise; }
  bool Finalise() override {
    g_machine->calls.push_back("finalised");
    return true;
  }
  bool Collect() override {
    if (g_machine->collect_throws) throw std::runtime_error("conversion failed");
    return g_machine->collect;
  }
  IProfileDataObserver* GetProfile() const noexcept override {
    return g_machine->profile ? const_cast<CProfileData*>(&profile_) : nullptr;
  }
  bool GetProfileJson(std::wstring& json) override {
    if (g_machine->json) json = L"{\"MUID\":\"" + g_machine->muid + L"\"}";
    return g_machine->json;
  }
  bool HasProfileChanged() override { return g_machine->changed; }
  void KeepUploadState() override { g_machine->calls.push_back("kept"); }
  bool IsResendDue() override { return g_machine->resend_due; }

 private:
  CProfileData profile_;
};

bool FakeAgent() { return g_machine->agent; }
bool FakeService() { return g_machine->service; }
const CActivationContext* FakeContext() {
  static const CActivationContext context(::GetModuleHandleW(nullptr), nullptr, QM_MANIFEST_APPLICATION);
  return g_machine->context ? &context : nullptr;
}
std::unique_ptr<ProfileDataCollector> FakeCollectorFactory() {
  if (!g_machine->collector) return nullptr;
  return std::make_unique<FakeCollector>();
}
std::wstring FakeDataFilePath(std::wstring_view muid) {
  if (!g_machine->temp_directory) throw TempDirectoryError();
  return g_machine->folder.wstring() + L"\\" + std::wstring(muid) + L".dat";
}
HMODULE NoLibrary(const wchar_t*) { return nullptr; }
LinkGetUtilFunction NoEntry(HMODULE, const char*) { return nullptr; }
std::unique_ptr<ProfileUploader> FakeUploader(const IProfileDataObserver* profile) {
  if (!g_machine->uploader) return nullptr;
  return std::make_unique<ProfileUploader>(profile, LinkBridgeLoader{&NoLibrary, &NoEntry});
}
constexpr RunPlatform kFakePlatform{&FakeAgent, &FakeService, &FakeContext, &FakeCollectorFactory,
                                    &FakeDataFilePath, &FakeUploader};

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    machine_.folder = fs::temp_directory_path() /
                      (std::string("qm_run_") + info->name() + "_" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(machine_.folder);
    fs::create_directories(machine_.folder);
    start_ = fs::current_path();
    fs::current_path(machine_.folder);
    g_machine = &machine_;
  }
  void TearDown() override {
    g_machine = nullptr;
    fs::current_path(start_);
    std::error_code ignored;
    fs::remove_all(machine_.folder, ignored);
  }

  int RunWith(std::vector<std::wstring> arguments = {L"quillmark.exe", L"/TestMode"}) {
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) argv.push_back(argument.data());
    return RunProfiler(static_cast<int>(argv.size()), argv.data(), kFakePlatform);
  }
  bool Exists(const wchar_t* name) const { return fs::exists(machine_.folder / name); }
  std::string Content(const wchar_t* name) const {
    std::ifstream file(machine_.folder / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  // The run ended with only the ERROR marker, holding exactly `message`.
  void ExpectOnlyErrorMarker(const std::string& message) const {
    EXPECT_FALSE(Exists(kOkMarkerName));
    EXPECT_EQ(Content(kErrorMarkerName), "\r\n" + message);
  }
  std::size_t DataFiles() const {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(machine_.folder)) count += entry.path().extension() == ".dat";
    return count;
  }

  Machine machine_;
  fs::path start_;
};

const std::string kUpToCollected =
    "\r\nObtenida la instancia del OMX.\r\nObtenida la instancia del ProfileDataCollector."
    "\r\nProfileDataCollector inicializado.\r\nObtenido el perfilado.";

TEST_F(Run, SecondInstanceStopsAtOnceWithTheErrorMarkerInTheStartDirectory) {
  UniqueHandle first(::CreateMutexW(nullptr, TRUE, L"Orvex Security Profiler"));
  ASSERT_TRUE(first);
  machine_.agent = false;  // never asked
  EXPECT_EQ(RunWith(), -1);
  ExpectOnlyErrorMarker("Hay otra instancia de Quillmark.exe ejecutandose.");
}

TEST_F(Run, MissingAgentProcessStopsWithoutAnyMarkerBeyondTheStartUpDeletion) {
  std::ofstream(machine_.folder / kOkMarkerName) << "earlier run";
  std::ofstream(machine_.folder / kErrorMarkerName) << "earlier run";
  machine_.agent = false;
  EXPECT_EQ(RunWith(), -1);
  EXPECT_FALSE(Exists(kOkMarkerName));
  EXPECT_FALSE(Exists(kErrorMarkerName));
}

TEST_F(Run, AgentServiceNotReadyStopsWithTheTimeoutMessage) {
  machine_.service = false;
  EXPECT_EQ(RunWith(), -1);
  ExpectOnlyErrorMarker("Agotado el tiempo de espera del servicio.");
}

TEST_F(Run, MissingSdkActivationContextStops) {
  machine_.context = false;
  EXPECT_EQ(RunWith(), -1);
  ExpectOnlyErrorMarker("Error obteniendo instancia de la OMX.");
}

TEST_F(Run, MissingCollectorStops) {
  machine_.collector = false;
  EXPECT_EQ(RunWith(), -1);
  ExpectOnlyErrorMarker("Error obteniendo instancia del ProfileDataCollector.");
}

TEST_F(Run, FailedInitialisationLeavesOnlyTheErrorMarkerAndDestroysTheCollectorUnfinalised) {
  machine_.initialise = false;
  EXPECT_EQ(RunWith(), -1);
  ExpectOnlyErrorMarker("Error inicializando el ProfileDataCollector.");
  EXPECT_EQ(machine_.calls, (std::vector<std::string>{"destroyed"}));
}

TEST_F(Run, FailedOrRaisingCollectionStopsAfterFinalisingTheCollector) {
  machine_.collect = false;
  EXPECT_EQ(RunWith(), -1);
  ExpectOnlyErrorMarker("Error recopilando informacion.");
  EXPECT_EQ(machine_.calls, (std::vector<std::string>{"finalised", "destroyed"}));

  machine_.calls.clear();
  machine_.collect = true;
  machine_.collect_throws = true;
  EXPECT_EQ(RunWith(), -1);
  ExpectOnlyErrorMarker("Error recopilando informacion.");
  EXPECT_EQ(machine_.calls, (std::vector<std::string>{"finalised", "destroyed"}));
}

TEST_F(Run, UnchangedProfileEndsWithZeroWithoutDataFileOrClosingMessage) {
  machine_.changed = false;
  machine_.resend_due = false;
  EXPECT_EQ(RunWith(), 0);
  EXPECT_EQ(Content(kOkMarkerName), kUpToCollected + "\r\nNo han cambiado los datos del perfilado.");
  EXPECT_FALSE(Exists(kErrorMarkerName));
  EXPECT_EQ(DataFiles(), 0u);
  EXPECT_EQ(machine_.calls, (std::vector<std::string>{"finalised", "destroyed"}));
}

TEST_F(Run, FailedUploadEndsWithZeroKeepsNothingAndLeavesOnlyTheClosingMessage) {
  EXPECT_EQ(RunWith(), 0);
  ExpectOnlyErrorMarker("Quillmark se ha ejecutado correctamente.");
  EXPECT_EQ(DataFiles(), 0u);  // written, then deleted
  EXPECT_EQ(machine_.calls, (std::vector<std::string>{"finalised", "destroyed"}));
}

TEST_F(Run, UploaderThatCannotBeCreatedIsSkippedSilently) {
  machine_.uploader = false;
  EXPECT_EQ(RunWith(), 0);
  EXPECT_EQ(Content(kOkMarkerName), kUpToCollected +
                                        "\r\nHan cambiado los datos del perfilado."
                                        "\r\nQuillmark se ha ejecutado correctamente.");
  EXPECT_EQ(DataFiles(), 0u);
  EXPECT_EQ(machine_.calls, (std::vector<std::string>{"finalised", "destroyed"}));
}

TEST_F(Run, ResendDueAloneIsEnoughToSend) {
  machine_.uploader = false;
  machine_.changed = false;
  machine_.resend_due = true;
  EXPECT_EQ(RunWith(), 0);
  EXPECT_NE(Content(kOkMarkerName).find("Han cambiado los datos del perfilado."), std::string::npos);
}

TEST_F(Run, FailedSerialisationStillEndsWithZeroAndTheClosingMessageInTheErrorMarker) {
  machine_.json = false;
  EXPECT_EQ(RunWith(), 0);
  ExpectOnlyErrorMarker("Quillmark se ha ejecutado correctamente.");
  EXPECT_EQ(machine_.calls, (std::vector<std::string>{"finalised", "destroyed"}));
}

TEST_F(Run, MissingProfileObjectStops) {
  machine_.profile = false;
  EXPECT_EQ(RunWith(), -1);
  ExpectOnlyErrorMarker("Error obteniendo IProfileDataObserver.");
  EXPECT_EQ(machine_.calls, (std::vector<std::string>{"finalised", "destroyed"}));
}

TEST_F(Run, EmptyMuidSendsNothingAndEndsWithZero) {
  machine_.muid.clear();
  machine_.uploader = false;
  EXPECT_EQ(RunWith(), 0);
  EXPECT_EQ(Content(kOkMarkerName), kUpToCollected +
                                        "\r\nHan cambiado los datos del perfilado."
                                        "\r\nQuillmark se ha ejecutado correctamente.");
  EXPECT_EQ(DataFiles(), 0u);
}

TEST_F(Run, MissingTempDirectoryEndsThroughTheClosingStageWithMinusOne) {
  machine_.temp_directory = false;
  EXPECT_EQ(RunWith(), -1);
  ExpectOnlyErrorMarker("Quillmark se ha ejecutado correctamente.");
  EXPECT_EQ(machine_.calls, (std::vector<std::string>{"finalised", "destroyed"}));
}

TEST_F(Run, OutsideTestModeNoMarkerIsCreatedOrDeleted) {
  std::ofstream(machine_.folder / kErrorMarkerName) << "earlier run";
  machine_.initialise = false;
  EXPECT_EQ(RunWith({L"quillmark.exe"}), -1);
  EXPECT_EQ(Content(kErrorMarkerName), "earlier run");
  EXPECT_FALSE(Exists(kOkMarkerName));
}

TEST_F(Run, InstanceMutexIsFreeAgainAfterARun) {
  machine_.uploader = false;
  EXPECT_EQ(RunWith(), 0);
  EXPECT_EQ(RunWith(), 0);
}

}  // namespace
}  // namespace qm
