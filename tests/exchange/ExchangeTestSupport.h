// Shared test fixtures: documents built in memory, captured console output, and a throw-away
// host directory whose "exchange" subdirectory is the working directory while alive.
#pragma once

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Exchange.h"
#include "ScratchDir.h"

// Spelled out here rather than taken from the writer, so a writer fault cannot hide in both.
inline std::string MakeDocument(uint32_t width, uint32_t height, const std::string& payload) {
    return "<image><header><version>1</version><width>" + std::to_string(width) + "</width><height>" +
           std::to_string(height) + "</height></header><pixels>" + payload + "</pixels></image>";
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class CoutCapture {
  public:
    CoutCapture() : saved_(std::cout.rdbuf(text_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(saved_); }
    std::string Text() const { return text_.str(); }

  private:
    std::ostringstream text_;
    std::streambuf* saved_;
};

class ExchangeDirectory {
  public:
    ExchangeDirectory() : previous_(std::filesystem::current_path()) {
        std::filesystem::create_directory(Exchange());
        std::filesystem::current_path(Exchange());
    }
    ~ExchangeDirectory() { std::filesystem::current_path(previous_); }
    std::filesystem::path Host() const { return host_.Path(); }
    std::filesystem::path Exchange() const { return Host() / "exchange"; }

  private:
    std::filesystem::path previous_;
    ScratchDir host_;  // removed after the working directory is back
};
