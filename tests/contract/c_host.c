/* The least host there is, in C99, built against the installed headers only: it loads the
 * driver, describes it, starts one VPI on the given serial device, binds and reads "!STATUS",
 * reads "!POLL" (which sends the poll command down the line), releases the port and closes the
 * VPI. Every step's result is checked; the first failure ends the run with status 1.
 *
 *   c_host DRIVER DEVICE [VPI]
 *
 * DRIVER is the path of libvpivg.so, or vpivg.dll (found beside the program, with zelpro.dll).
 * DEVICE is the serial device name the driver opens (at most 11 characters, e.g. "COM5"). */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vpivg/vpivg.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

static int Fail(const char* what, long result) {
    fprintf(stderr, "c_host: %s (result %ld)\n", what, result);
    return 1;
}

/* The driver stays loaded for the life of the process: its VPI thread runs in it. */
static VpiMainProc LoadDriver(const char* path) {
    VpiMainProc entry = NULL;
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path);
    FARPROC found = NULL;
    if (module == NULL) {
        fprintf(stderr, "c_host: cannot load %s (error %lu)\n", path,
                (unsigned long)GetLastError());
        return NULL;
    }
    found = GetProcAddress(module, "VpiMain");
    if (found == NULL) found = GetProcAddress(module, "_VpiMain@4");
    if (found != NULL) memcpy(&entry, &found, sizeof entry);
#else
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void* found = NULL;
    if (library == NULL) {
        const char* why = dlerror();
        fprintf(stderr, "c_host: cannot load %s: %s\n", path, why ? why : "unknown error");
        return NULL;
    }
    found = dlsym(library, "VpiMain");
    /* ISO C has no cast from an object pointer to a function pointer; the bytes are the same. */
    if (found != NULL) memcpy(&entry, &found, sizeof entry);
#endif
    if (entry == NULL) fprintf(stderr, "c_host: %s exports no VpiMain\n", path);
    return entry;
}

int main(int argc, char** argv) {
    VpiMainProc vpiMain;
    VpiRequest request;
    DriverInfo info;
    StartArgs start;
    GateParseArgs bind;
    GateAccessArgs access;
    GateValue value;
    VpiInstance* block;
    int32_t result;
    int32_t vpiNumber = argc > 3 ? (int32_t)atoi(argv[3]) : 7;

    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: c_host DRIVER DEVICE [VPI]\n");
        return 2;
    }
    if (strlen(argv[2]) >= sizeof start.name) {
        fprintf(stderr, "c_host: device name %s is longer than 11 characters\n", argv[2]);
        return 2;
    }
    vpiMain = LoadDriver(argv[1]);
    if (vpiMain == NULL) return 1;

    /* 1. Describe: before any VPI exists, so no instance. */
    memset(&request, 0, sizeof request);
    memset(&info, 0, sizeof info);
    request.command = CmdDescribe;
    request.args = &info;
    result = vpiMain(&request);
    if (result != 0) return Fail("CmdDescribe failed", result);
    if (info.instanceSize != VPI_INSTANCE_SIZE) {
        fprintf(stderr, "c_host: the driver asks for %lu bytes per VPI; this host was built for %lu\n",
                (unsigned long)info.instanceSize, (unsigned long)VPI_INSTANCE_SIZE);
        return 1;
    }
    printf("driver: %s, %lu bytes per VPI, default line %u %u %u %u\n", info.name,
           (unsigned long)info.instanceSize, (unsigned)info.defaultLine.baud,
           (unsigned)info.defaultLine.dataBits, (unsigned)info.defaultLine.stopBits,
           (unsigned)info.defaultLine.parity);

    /* 2. The VPI's block: the size the driver asked for, zero-filled. */
    block = (VpiInstance*)calloc(1, info.instanceSize);
    if (block == NULL) return Fail("no memory for the VPI's block", 0);

    /* 3. Start it on the device with the driver's default line. */
    memset(&start, 0, sizeof start);
    memcpy(start.name, argv[2], strlen(argv[2]));
    start.portEnabled = 1;
    start.readTimeout = 100;
    start.line = info.defaultLine;
    memset(&request, 0, sizeof request);
    request.instance = block;
    request.vpiNumber = vpiNumber;
    request.command = CmdStart;
    request.args = &start;
    result = vpiMain(&request);
    if (result != 0) return Fail("CmdStart failed (2: the port cannot be opened)", result);
    printf("started VPI %ld on %s\n", (long)vpiNumber, argv[2]);

    /* 4. Bind the two special gates, as the host does for every gate it configures. */
    memset(&bind, 0, sizeof bind);
    bind.address = "!STATUS";
    bind.gateId = 1;
    bind.gateType = GateTypeDigital;
    request.command = CmdParseAddress;
    request.args = &bind;
    result = vpiMain(&request);
    if (result != 0 || bind.addressKind != 1) return Fail("!STATUS was refused", result);
    bind.address = "!POLL";
    bind.gateId = 2;
    result = vpiMain(&request);
    if (result != 0 || bind.addressKind != 2) return Fail("!POLL was refused", result);

    /* 5. Read the link state: the first read after a start reads 1. */
    memset(&access, 0, sizeof access);
    memset(&value, 0xFF, sizeof value);
    access.address = "!STATUS";
    access.gateType = GateTypeDigital;
    access.valueArea = &value;
    request.command = CmdRead;
    request.args = &access;
    result = vpiMain(&request);
    if (result != 0) return Fail("reading !STATUS failed", result);
    printf("!STATUS %u\n", (unsigned)value.digitalState);

    /* 6. Reading !POLL sends the poll command to the instrument. */
    access.address = "!POLL";
    result = vpiMain(&request);
    if (result != 0) return Fail("reading !POLL failed", result);
    printf("!POLL sent\n");

    /* 7. Release the device, then close. Stopping the VPI's thread is the runtime's part (its
     * message wait answers 0 for the client "VG_No_nn"); until the thread has removed that
     * client it may use the block, so this host leaves the block to the end of the process. */
    request.command = CmdClosePort;
    request.args = NULL;
    result = vpiMain(&request);
    if (result != 0) return Fail("CmdClosePort failed", result);
    request.command = CmdClose;
    result = vpiMain(&request);
    if (result != 0) return Fail("CmdClose failed", result);
    printf("closed\n");
    if (fflush(stdout) != 0) return Fail("cannot write the standard output", 0);
    return 0;
}
