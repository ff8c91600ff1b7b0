// Loads the driver the way a host might that never linked the host runtime itself: the C
// library, with its own err(3), is already in the process, and the driver comes in with
// dlopen(RTLD_NOW | RTLD_LOCAL). Then the driver logs. If its err bound to the C library's, the
// process would print "<program>: ..." and exit with the log level as its status before the
// call returned; with the host runtime's err it returns and the line is in the host's log.
//
//   err_binding_probe path/to/libvpivg.so
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vpivg/vpivg.h>

namespace {

using VpiMainFunction = std::int32_t (*)(VpiRequest*);

constexpr const char* kLogged = "VPIVG: No support for Block Read !";

// Runs `call` with standard error going to a temporary file and gives back what was written.
template <typename Call>
std::string CaptureStandardError(Call call) {
    std::fflush(stderr);
    char path[] = "/tmp/vpivg-err-probe-XXXXXX";
    int file = mkstemp(path);
    if (file < 0) return "<no temporary file>";
    unlink(path);
    int saved = dup(2);
    dup2(file, 2);
    call();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    lseek(file, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(file, buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(got));
    close(file);
    return text;
}

int Fail(const std::string& why) {
    std::printf("FAIL: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return Fail("usage: err_binding_probe libvpivg.so");
    if (dlopen("libzelpro.so", RTLD_NOLOAD | RTLD_NOW) != nullptr) {
        return Fail("the host runtime was loaded before the driver; the probe proves nothing");
    }
    void* driver = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (driver == nullptr) return Fail(std::string("dlopen: ") + dlerror());
    auto vpiMain = reinterpret_cast<VpiMainFunction>(dlsym(driver, "VpiMain"));
    if (vpiMain == nullptr) return Fail("the driver has no VpiMain");

    DriverInfo info{};
    VpiRequest describe{};
    describe.command = CmdDescribe;
    describe.args = &info;
    vpiMain(&describe);
    if (info.instanceSize < VPI_INSTANCE_SIZE) {
        return Fail("describe reported an instance size of " + std::to_string(info.instanceSize));
    }
    void* block = std::calloc(1, info.instanceSize);
    VpiRequest request{};
    request.instance = static_cast<VpiInstance*>(block);
    request.command = CmdBlockRead;
    request.vpiNumber = 1;

    std::int32_t result = -1;
    std::printf("calling the driver; should the process end here, its err was the C library's\n");
    std::fflush(stdout);
    std::string logged = CaptureStandardError([&] { result = vpiMain(&request); });
    std::free(block);
    // Still here: the C library's err(3) would have ended the process inside the call.
    std::printf("the driver logged: %s", logged.c_str());
    if (logged.find(kLogged) == std::string::npos) {
        return Fail(std::string("the line \"") + kLogged + "\" did not reach the log");
    }
    if (logged.find(program_invocation_short_name) != std::string::npos) {
        return Fail("the line came out in the C library's err(3) format");
    }
    if (result != 1) return Fail("block read answered " + std::to_string(result) + ", not 1");
    // The runtime the driver brought in is the one that served err.
    void* runtime = dlopen("libzelpro.so", RTLD_NOLOAD | RTLD_NOW);
    if (runtime == nullptr) return Fail("the driver did not bring in libzelpro.so");
    if (dlvsym(runtime, "err", "ZELPRO_5") == nullptr) {
        return Fail("libzelpro.so has no err@ZELPRO_5");
    }
    std::printf("err is the host runtime's: the process lives on after the driver logged\n");
    return 0;
}
