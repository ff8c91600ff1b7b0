// Linux: the driver's identity is an ELF note (name "vpivg", type 1, "<version>\0<revision>\0").
// A note costs no exported symbol, so the driver still exports VpiMain alone, and it is read
// from the image the loader mapped, so it is the build the host really runs, whatever the
// file on disk has become since.
#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <cstring>

#include "version_text.hpp"

namespace {

constexpr std::uint32_t kIdentityNoteType = 1;
constexpr char kIdentityNoteName[] = "vpivg";

struct Search {
    std::uintptr_t address = 0;
    bool found = false;       // a loaded object holds the address
    bool hasNote = false;
    std::string file;
    std::string version;
    std::string revision;
};

// Name and descriptor are padded to the segment's alignment: 4 bytes for most notes, 8 for
// those the toolchain aligns so (a segment of its own, e.g. the x86-64 property note).
std::size_t Padded(std::size_t n, std::size_t alignment) {
    return (n + alignment - 1) & ~(alignment - 1);
}

// Walks one PT_NOTE segment; true when it holds our note (read into `search`).
bool ReadNotes(const unsigned char* at, std::size_t size, std::size_t alignment, Search* search) {
    std::size_t offset = 0;
    while (size - offset >= sizeof(ElfW(Nhdr))) {
        ElfW(Nhdr) header;
        std::memcpy(&header, at + offset, sizeof header);
        offset += sizeof header;
        std::size_t nameSize = Padded(header.n_namesz, alignment);
        std::size_t descSize = Padded(header.n_descsz, alignment);
        if (nameSize > size - offset || descSize > size - offset - nameSize) return false;
        const char* name = reinterpret_cast<const char*>(at + offset);
        const char* desc = name + nameSize;
        offset += nameSize + descSize;
        if (header.n_type != kIdentityNoteType || header.n_namesz != sizeof kIdentityNoteName ||
            std::memcmp(name, kIdentityNoteName, sizeof kIdentityNoteName) != 0) {
            continue;
        }
        // Two NUL-terminated texts, never read past the descriptor.
        const char* end = desc + header.n_descsz;
        const char* split = static_cast<const char*>(std::memchr(desc, '\0', header.n_descsz));
        if (!split) return false;
        const char* last = static_cast<const char*>(std::memchr(split + 1, '\0', end - split - 1));
        if (!last) return false;
        search->version.assign(desc, split);
        search->revision.assign(split + 1, last);
        return !search->version.empty() && !search->revision.empty();
    }
    return false;
}

int VisitObject(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<Search*>(data);
    bool holds = false;
    for (int i = 0; i < info->dlpi_phnum && !holds; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        holds = segment.p_type == PT_LOAD && search->address >= start &&
                search->address - start < segment.p_memsz;
    }
    if (!holds) return 0;
    search->found = true;
    search->file = info->dlpi_name ? info->dlpi_name : "";
    for (int i = 0; i < info->dlpi_phnum && !search->hasNote; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        search->hasNote = ReadNotes(
            reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr),
            segment.p_memsz, segment.p_align == 8 ? 8 : 4, search);
    }
    return 1;
}

}  // namespace

std::optional<DriverIdentity> ReadDriverIdentity(const void* codeAddress, std::string* why) {
    Search search;
    search.address = reinterpret_cast<std::uintptr_t>(codeAddress);
    dl_iterate_phdr(VisitObject, &search);
    if (!search.found) {
        *why = "no loaded library holds that address";
        return std::nullopt;
    }
    if (search.file.empty()) {
        // The main program's entry in the loader's list has no name.
        Dl_info info{};
        if (dladdr(codeAddress, &info) && info.dli_fname) search.file = info.dli_fname;
    }
    if (!search.hasNote) {
        *why = (search.file.empty() ? std::string("the library") : search.file) +
               " carries no vpivg version note (a build from before versions, or not vpivg)";
        return std::nullopt;
    }
    return DriverIdentity{search.file, search.version, search.revision};
}
