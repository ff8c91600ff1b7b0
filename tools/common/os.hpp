// Inside the tool library: the calls whose spelling differs between the systems, one file per
// system behind this header.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace vpitools {

enum class OpenMode {
    New,      // an existing file is refused with kFileExistsError
    Replace,  // an existing file is emptied
    Append,   // an existing file is written on at its end
};
// Opens `path` for writing. Null with `error` set on failure.
std::FILE* CreateOutputFile(const std::string& path, OpenMode mode, unsigned long* error);
// The size of an open file, -1 if it cannot be told.
long long FileSize(std::FILE* file);
// The error CreateOutputFile leaves for a file that exists already.
extern const unsigned long kFileExistsError;
// Cuts an open file back to `size` bytes.
bool CutFile(std::FILE* file, long long size);


}  // namespace vpitools
