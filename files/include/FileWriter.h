// The codecs' output writer: the atomic writer with an output's rules (a link is followed to the
// file it names, which keeps its permissions) behind the interface every SaveFile uses.
#pragma once

#include "AtomicFileWriter.h"

class FileWriter : public AtomicFileWriter {
  public:
    // False when the target exists but is not a regular file or nothing can be created.
    bool Open(const char* path) {
        return path != nullptr && *path != '\0' &&
               AtomicFileWriter::Open(path, LinkPolicy::Follow, TemporaryOwner::Output);
    }
    bool Write(const void* data, size_t count) { return Append(data, count); }
};
