// The one list of what must become of each picture of tests/data (tests/data/outcomes.tsv), read by
// the codec, picture decoder and hardening tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

struct CorpusOutcome {
    std::string Path;      // under tests/data
    std::string Expected;  // load, refuse or edge
    int32_t Width = 0;
    int32_t Height = 0;
    bool ThroughHost = false;  // also run through the host program by the hardening sweep
};

// Test names and failures show the file.
inline void PrintTo(const CorpusOutcome& row, std::ostream* out) {
    *out << row.Path;
}

// The rows whose file name ends in one of `extensions` (all rows when none are given).
inline std::vector<CorpusOutcome> ReadCorpusOutcomes(const std::vector<std::string>& extensions = {}) {
    std::ifstream in(std::string(CORVANE_TEST_DATA) + "/outcomes.tsv");
    std::vector<CorpusOutcome> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        CorpusOutcome row;
        std::string sweep;
        fields >> row.Path >> row.Expected >> row.Width >> row.Height >> sweep;
        row.ThroughHost = sweep == "host";
        const std::string extension = row.Path.substr(row.Path.rfind('.') + 1);
        bool wanted = extensions.empty();
        for (const std::string& e : extensions) wanted |= e == extension;
        if (wanted) rows.push_back(row);
    }
    return rows;
}
