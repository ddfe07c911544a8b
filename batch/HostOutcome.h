// What the programs of an exchange said: the host's warnings and failure, the module's reason,
// as the user sees them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "BatchPlan.h"

constexpr char kWarningStart[] = "Warning: ";
// The host's hint for a user who forgot the module: the batch starts the module itself.
constexpr char kHostHint[] = "No module has taken the picture yet";
// The host's words for a failure flag.
constexpr char kCouldNotAnswer[] = "/ could not answer; nothing saved.";

// The head (for the warnings) or the tail (for the last line) of a log.
std::string ReadLogPart(const std::string& path, bool head);
// The last line worth showing; lines starting with unsaid are passed over.
std::string LastLine(const std::string& log, const std::string& unsaid = "");
// Why a module that could not answer says it could not, from its log.
std::string ModuleSaid(const std::string& log);
// text with the host's names of the input and of its output (result) put as the user knows them.
std::string AsNamed(const std::string& text, const BatchItem& item, const std::string& result);
// The host's warnings, about the input and about the output, under the user's names; unshown
// counts those beyond the ones shown.
std::vector<std::string> HostWarnings(const std::string& log, const BatchItem& item,
                                      const std::string& result, size_t& unshown);
