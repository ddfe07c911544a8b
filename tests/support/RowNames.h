// Names for the rows of parameterised suites. ctest lists every row under its name, so the name
// must be the same in every build: taken from a field of the row (its name, or a file's path),
// never from the row's bytes, which may hold addresses.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

// The text as a test name may hold it: anything but letters and digits becomes '_'.
inline std::string AsTestName(std::string text) {
    for (char& c : text)
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '_';
    return text;
}

// The name generator of a suite whose rows are named by their field Field.
template <auto Field>
struct NamedBy {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return AsTestName(info.param.*Field);
    }
};

// The name generator of a suite whose rows are names or paths themselves.
struct NamedByValue {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return AsTestName(info.param);
    }
};
