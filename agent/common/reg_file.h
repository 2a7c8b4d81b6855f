#pragma once

// Registry content of a scenario: keys given inline in the JSON, or imported
// from registry export files as "reg export" writes them.

#include <string>
#include <string_view>
#include <vector>

#include "common/json_node.h"
#include "common/scenario.h"

namespace qm::sim {

// Splits "HKLM\Software\X" (or "HKEY_LOCAL_MACHINE\Software\X") into its root
// and path; throws ScenarioError prefixed with `where` when the root is unknown.
void SplitKeyName(std::wstring_view full_name, const std::string& where, RegistryKeyEntry& entry);

// Parses an export file's bytes: UTF-16LE with byte order mark (as written by
// the system's tools) or UTF-8, headed "Windows Registry Editor Version 5.00".
// `where` prefixes error messages, which add the line number.
[[nodiscard]] std::vector<RegistryKeyEntry> ParseRegFile(std::string_view bytes, RegistryView view,
                                                         const std::string& where);

// One inline value: a string (REG_SZ), a number (REG_DWORD) or
// {"type": ..., "data": ...}. `agent_folder` replaces "${agentFolder}" in texts.
[[nodiscard]] RegistryValue ParseInlineValue(const JsonNode& node, std::wstring name,
                                             const std::wstring& agent_folder);

// Replaces every "${agentFolder}" in `text`.
[[nodiscard]] std::wstring ExpandAgentFolder(std::wstring text, const std::wstring& agent_folder);

// Registry bytes of texts: UTF-16LE with terminator(s).
[[nodiscard]] std::string StringBytes(std::wstring_view text);
[[nodiscard]] std::string MultiStringBytes(const std::vector<std::wstring>& texts);

}  // namespace qm::sim
