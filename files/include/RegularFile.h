// Opening and reading files that someone else may have put under a name: a FIFO, a device or a
// folder there is refused, never waited on or read, and the size comes from the open descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class LinkPolicy {
    Follow,  // a link to a regular file is the user's choice (an input picture)
    Refuse,  // names in a folder others can write (the exchange files): a link is not opened
};

// Opens path for reading without blocking and returns the descriptor, or -1 when it cannot be
// opened or is not a regular file (then *notRegular, when given, tells which). size is the
// file's length when it was opened.
int OpenRegularFile(const char* path, LinkPolicy links, uint64_t& size, bool* notRegular = nullptr);
// Reads until size bytes are in or the file ends; returns the bytes read, or -1 on an error.
int64_t ReadFully(int descriptor, void* buffer, size_t size);
// True when anything stands at path, a link to nothing included: the name is taken.
bool NameTaken(const std::string& path);
