// The build's version and revision as an ELF note in libvpivg.so (name "vpivg", type 1,
// "<version>\0<revision>\0"). A host reads it from the image it loaded; being a note and not a
// symbol, it leaves VpiMain the library's only export. The Windows DLL says the same in its
// version resource.
#include <cstdint>

#include "vpivg_version.h"

namespace {

constexpr char kIdentityText[] = VPIVG_VERSION "\0" VPIVG_REVISION;

struct alignas(4) IdentityNote {
    std::uint32_t nameSize;
    std::uint32_t descSize;
    std::uint32_t type;
    char name[8];                                       // "vpivg\0", padded to 4 bytes
    char desc[(sizeof kIdentityText + 3) & ~std::size_t{3}];  // padded to 4 bytes
};

// A section named .note.* becomes a note the loader maps (PT_NOTE); "used" keeps it, as
// nothing in the driver refers to it. Notes are 4-byte aligned: without saying so, the compiler
// aligns an object this large to 32 bytes, which readers of notes take for a corrupt note.
[[gnu::section(".note.vpivg.identity"), gnu::used, gnu::aligned(4)]] const IdentityNote kIdentityNote = {
    sizeof "vpivg", sizeof kIdentityText, 1, "vpivg", VPIVG_VERSION "\0" VPIVG_REVISION};

}  // namespace
