#include "output_file.hpp"

#include "ports.hpp"

namespace vpitools {

OutputFile::~OutputFile() { Close(); }

void OutputFile::Fail(const char* doing, unsigned long osError) {
    if (error_.empty()) error_ = std::string(doing) + " " + path_ + ": " + OsErrorText(osError);
}

bool OutputFile::Open(const std::string& path, bool overwrite) {
    return OpenAs(path, overwrite ? OpenMode::Replace : OpenMode::New);
}

bool OutputFile::Append(const std::string& path) { return OpenAs(path, OpenMode::Append); }

bool OutputFile::OpenAs(const std::string& path, OpenMode mode) {
    Close();
    path_ = path;
    error_.clear();
    written_ = 0;
    unsigned long osError = 0;
    file_ = CreateOutputFile(path, mode, &osError);
    if (file_ == nullptr) {
        if (mode == OpenMode::New && osError == kFileExistsError) {
            error_ = path + " exists; choose another name, or --overwrite to replace it";
        } else {
            Fail("cannot create", osError);
        }
        return false;
    }
    // Unbuffered: each Write is one hand-over to the OS, so a failure is seen where it happens
    // and no buffered rest can reach the file after it was cut back.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    if (mode == OpenMode::Append) {
        written_ = FileSize(file_);
        if (written_ < 0) {
            Fail("cannot write", LastOsError());
            std::fclose(file_);
            file_ = nullptr;
            return false;
        }
    }
    return true;
}

bool OutputFile::Write(std::string_view text) {
    if (file_ == nullptr || Failed()) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), file_) == text.size() &&
                    std::fflush(file_) == 0;
    if (ok) {
        written_ += static_cast<long long>(text.size());
        return true;
    }
    Fail("cannot write", LastOsError());
    // Whatever part of this write got through would end the file mid-line: cut it off.
    CutFile(file_, written_);
    std::fclose(file_);
    file_ = nullptr;
    return false;
}

bool OutputFile::Close() {
    if (file_ != nullptr) {
        if (std::fclose(file_) != 0) Fail("cannot write", LastOsError());
        file_ = nullptr;
    }
    return !Failed();
}

}  // namespace vpitools
