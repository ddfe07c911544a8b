// Where the result goes: OUT is checked and resolved once, before anything is sent, and checked
// again before the save, since anything that writes here while we wait could plant a link.
#pragma once

#include <cstdint>
#include <string>

// Everything that would keep the result from being saved, found before the module works: a
// format that is written, a folder that takes a new file; target becomes the file OUT leads to.
// False, with the message printed, when nothing may be saved there.
bool CheckOutput(const std::string& output, std::string& target);
// The output's format has a largest side the picture must fit; false, with the message printed.
bool CheckOutputSize(const std::string& output, int32_t width, int32_t height);
// True when OUT still leads to target; false, with the message printed, when it now leads
// elsewhere or nowhere.
bool OutputStillLeadsTo(const std::string& output, const std::string& target);
