// Which build is it: the version texts and the identity a host reads from the driver it loaded.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host.hpp"
#include "version_text.hpp"
#include "vpivg_version.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

// The driver built with this test, loaded the way the host loads it.
const void* LoadBuiltDriver() {
    std::string why;
    auto entry = vpihost::LoadDriver(vpihost::DefaultDriverPath(), &why);
    EXPECT_NE(entry, nullptr) << why;
    return reinterpret_cast<const void*>(entry);
}

// A function of a system library: something loaded that carries no identity of ours.
const void* SystemFunction() {
#if defined(_WIN32)
    return reinterpret_cast<const void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
#else
    return dlsym(RTLD_DEFAULT, "free");
#endif
}

}  // namespace

TEST(VersionText, NamesProgramVersionAndRevision) {
    EXPECT_EQ(ToolVersionText("vpivg-sim"),
              std::string("vpivg-sim ") + VPIVG_VERSION + " (revision " + VPIVG_REVISION + ")");
    // One version for everything: the project's, three numbers.
    std::string version = VPIVG_VERSION;
    EXPECT_EQ(version, std::to_string(VPIVG_VERSION_MAJOR) + "." +
                           std::to_string(VPIVG_VERSION_MINOR) + "." +
                           std::to_string(VPIVG_VERSION_PATCH));
    EXPECT_FALSE(std::string(VPIVG_REVISION).empty());
}

TEST(DriverIdentity, ReadFromTheLoadedDriverMatchesThisBuild) {
    const void* entry = LoadBuiltDriver();
    ASSERT_NE(entry, nullptr);
    std::string why;
    auto identity = ReadDriverIdentity(entry, &why);
    ASSERT_TRUE(identity) << why;
    EXPECT_EQ(identity->version, VPIVG_VERSION);
    EXPECT_EQ(identity->revision, VPIVG_REVISION);
    // The file the system really loaded, so a plant sees which copy its host uses.
    EXPECT_TRUE(std::filesystem::equivalent(identity->file, vpihost::DefaultDriverPath()))
        << identity->file;
    EXPECT_EQ(DriverVersionText(*identity), "driver " + identity->file + " " VPIVG_VERSION
                                            " (revision " VPIVG_REVISION ")");
}

TEST(DriverIdentity, RefusesWhatCarriesNoIdentityOfOurs) {
    std::string why;
    // This test program: ours, but not a driver with an identity.
    EXPECT_FALSE(ReadDriverIdentity(reinterpret_cast<const void*>(&SystemFunction), &why));
    EXPECT_NE(why.find("carries no"), std::string::npos) << why;

    // A system library: it may well have notes or a version resource, just not ours.
    const void* foreign = SystemFunction();
    ASSERT_NE(foreign, nullptr);
    why.clear();
    EXPECT_FALSE(ReadDriverIdentity(foreign, &why));
    EXPECT_FALSE(why.empty());

    // An address no loaded library holds.
    int onTheStack = 0;
    why.clear();
    EXPECT_FALSE(ReadDriverIdentity(&onTheStack, &why));
    EXPECT_NE(why.find("no loaded library"), std::string::npos) << why;
}

TEST(DriverIdentity, DefaultDriverIsTheOneBesideTheProgram) {
    std::filesystem::path path = vpihost::DefaultDriverPath();
    EXPECT_EQ(path.parent_path(), std::filesystem::path(vpihost::ProgramFolder()));
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
}
