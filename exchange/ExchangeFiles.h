// File handling for the exchange folders, which other users and programs can write too: files
// appear under their names only when complete, and nothing is ever written through a link or an
// entry that was already there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "RegularFile.h"

// A file written as a temporary file beside its final name and renamed into place when whole;
// it replaces a regular file or a link there, never anything else.
// A writer destroyed before Commit removes its temporary file.
class AtomicFileWriter {
  public:
    AtomicFileWriter() = default;
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    ~AtomicFileWriter() { Abandon(); }

    bool Open(const std::string& path);
    // Every byte is handed to write(2) at once; the first failure sticks and later calls do nothing.
    bool Append(const void* data, size_t size);
    bool Commit();
    void Abandon();
    // errno of the first failure, 0 when none.
    int Error() const { return FirstError; }

  private:
    bool Fail(int error);

    int Descriptor = -1;
    int FirstError = 0;
    std::string FinalPath;
    std::string TemporaryPath;
};

// Takes an exclusive lock on a folder for the rest of the process; false if another process
// holds it (or it cannot be opened).
bool LockFolder(const char* path);
