#pragma once

// Names shared by the installer and the stand-ins.

namespace qm::sim {

inline constexpr wchar_t kServiceName[] = L"VelaServiceMain";
inline constexpr wchar_t kServiceDisplayName[] = L"Vela Service Main";
inline constexpr wchar_t kServiceExe[] = L"VelaService.exe";
inline constexpr wchar_t kMainProcessExe[] = L"KORAMAIN.EXE";
// Prefix of the event each main process stand-in waits on; its process id
// follows, so stopping one installation leaves other stand-ins alone.
inline constexpr wchar_t kMainProcessStopEventPrefix[] = L"QuillmarkSimAgent.MainProcess.Stop.";
inline constexpr wchar_t kPayloadList[] = L"payload.txt";

}  // namespace qm::sim
