// The VPI's init file (vpiVGnn.int in the working directory), where the driver reads its
// "!STATUS" wait. The driver reads the first line only; the host marks a file it wrote on the
// second, updates such a file when the wait changes and removes it when the setting goes. A
// file without the mark is the plant's own and is never touched.
#pragma once

#include <string>

namespace vpihost {

extern const char* const kInitFileMark;

std::string InitFileName(int vpiNumber);

enum class InitFileResult {
    Written,    // created, or the host's own file updated
    Unchanged,  // the host's own file already held this wait
    Foreign,    // a file the host did not write: kept as it is
    Failed,     // `why` names the file and the OS reason
};
// Writes "TIME=<statusWait>" to the VPI's init file in `folder` ("" : the working directory).
// The new text is written to a side file and renamed over the old one, so a failed write never
// leaves a cut file for the driver to read.
InitFileResult WriteInitFile(const std::string& folder, int vpiNumber, int statusWait,
                             std::string* why);

enum class InitFileRemoval {
    Removed,  // the host's own file was there and is gone
    Absent,   // no file
    Foreign,  // a file the host did not write: kept as it is
    Failed,   // `why` names the file and the OS reason
};
// Without a status-wait setting the host's own file must go too, or the driver would go on
// reading the wait of an earlier run.
InitFileRemoval RemoveInitFile(const std::string& folder, int vpiNumber, std::string* why);

// The driver's default "!STATUS" wait, when no init file gives a good one.
constexpr int kDriverStatusWaitMs = 60;
// The wait the driver will take from the VPI's init file in `folder`, read the way the driver
// reads it (the first line, blanks dropped, any letter case, "TIME=" and 30..120 ms), or the
// driver's default when there is no such file or line.
int StatusWaitFromFile(const std::string& folder, int vpiNumber);

}  // namespace vpihost
