// The VPI's init file (vpiVGnn.int in the working directory), where the driver reads its
// "!STATUS" wait. The driver reads the first line only; the host marks a file it wrote on the
// second, and updates such a file when the wait changes. A file without the mark is the
// plant's own and is never touched.
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

}  // namespace vpihost
