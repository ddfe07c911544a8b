// The one scratch folder of the tests: fresh under the system's temporary directory, removed with
// everything in it. Its path is empty when no folder could be made.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>

class ScratchDir {
  public:
    ScratchDir() {
        std::error_code error;
        std::string pattern = std::filesystem::temp_directory_path(error).string() + "/corvane-test-XXXXXX";
        if (!error && mkdtemp(pattern.data()) != nullptr) Root = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!Root.empty()) std::filesystem::remove_all(Root, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return Root; }
    std::string operator/(const std::string& name) const { return Root + "/" + name; }
    // The entries right inside the folder.
    size_t EntryCount() const {
        std::error_code error;
        return size_t(std::distance(std::filesystem::directory_iterator(Root, error), {}));
    }

  private:
    std::string Root;
};
