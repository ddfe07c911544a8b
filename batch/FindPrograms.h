// How the batch's programs are found: the host beside the batch, the modules by name.
#pragma once

#include <string>
#include <vector>

// The user's environment, with the modules' folder first on PATH so they are found by name.
std::vector<std::string> ModuleEnvironment(const std::string& moduleFolder);
