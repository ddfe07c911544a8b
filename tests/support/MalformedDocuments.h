// The one list of exchange documents every reader refuses (tests/data/malformed-documents.tsv),
// with the escapes of its message and document columns undone.
#pragma once

#include <fstream>
#include <string>
#include <vector>

struct MalformedDocument {
    bool BeforeParse = false;  // refused from the file's size and head, before "Parse XML"
    std::string Message;       // the reader's message, without a line end
    std::string Document;
};

inline std::string UnescapeField(const std::string& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char code = text[++i];
        if (code == 'x' && i + 2 < text.size()) {
            bytes += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            bytes += code == 't' ? '\t' : code == 'n' ? '\n' : code == 'r' ? '\r' : code;
        }
    }
    return bytes;
}

inline std::vector<MalformedDocument> ReadMalformedDocuments() {
    std::ifstream in(std::string(CORVANE_TEST_DATA) + "/malformed-documents.tsv", std::ios::binary);
    std::vector<MalformedDocument> rows;
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find('\t');
        const size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
        if (line.empty() || line[0] == '#' || second == std::string::npos) continue;
        rows.push_back({line.compare(0, first, "read") == 0,
                        UnescapeField(line.substr(first + 1, second - first - 1)),
                        UnescapeField(line.substr(second + 1))});
    }
    return rows;
}
