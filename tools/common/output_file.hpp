// An output file (capture, sent log, log, CSV) whose every write is checked.
//
// A failed write must not leave a file that looks whole: the file is cut back to the end of the
// last write that went through, closed, and the failure is kept to be reported, naming the file
// and the OS reason. Nothing more is written to it after that.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "os.hpp"

namespace vpitools {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the file. An existing file is kept and refused unless `overwrite`, so a second
    // run never destroys the first one's record by accident. False with Error() set.
    bool Open(const std::string& path, bool overwrite);
    // Opens for adding to the end, creating it if need be: for logs, which run on across runs.
    bool Append(const std::string& path);
    // Writes `text` and hands it to the OS at once. False once any write has failed.
    bool Write(std::string_view text);
    // Closes, checking that the last bytes reached the OS. False if anything ever failed.
    bool Close();

    bool IsOpen() const { return file_ != nullptr; }
    bool Failed() const { return !error_.empty(); }
    // "cannot write capture.txt: no space left on device"; empty while all went well.
    const std::string& Error() const { return error_; }
    const std::string& Path() const { return path_; }

private:
    bool OpenAs(const std::string& path, OpenMode mode);
    void Fail(const char* doing, unsigned long osError);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string error_;
    long long written_ = 0;  // bytes that are surely in the file
};

}  // namespace vpitools
