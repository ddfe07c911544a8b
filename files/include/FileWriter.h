// The codecs' output writer: the atomic writer with an output's rules (a link is followed to the
// file it names, which keeps its permissions) behind the interface every SaveFile uses.
#pragma once

#include "AtomicFileWriter.h"

// The first error of the last output this thread failed to write (an errno value), for the
// framework to say why a save failed; 0 when none.
inline int& LastOutputError() {
    static thread_local int error = 0;
    return error;
}

class FileWriter : public AtomicFileWriter {
  public:
    ~FileWriter() {
        if (Error() != 0) LastOutputError() = Error();
    }
    // False when the target exists but is not a regular file or nothing can be created.
    bool Open(const char* path) {
        return path != nullptr && *path != '\0' &&
               AtomicFileWriter::Open(path, LinkPolicy::Follow, TemporaryOwner::Output);
    }
    bool Write(const void* data, size_t count) { return Append(data, count); }
};
