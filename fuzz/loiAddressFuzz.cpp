// Fuzzes the operator-panel address file reader and the address derivation
// with any file content: the address buffer of 16 bytes is never overrun and
// what lands there is a terminated text.
#include "loiAddress.h"
#include "loiAddressInternal.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

namespace {

const std::size_t kAddressBuffer = 16;

unsigned int noSleep(unsigned int) {
    return 0;
}

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/loifuzz.XXXXXX";
        directory = mkdtemp(pattern);
        addressFile = directory + "/Loi_Ip_Address.txt";
        rebootFile = directory + "/NeedToManuallyRebootGC";
        environment = LoiEnvironment{addressFile.c_str(), rebootFile.c_str(), noSleep};
        loiSetEnvironment(&environment);
    }
    ~Scratch() {
        unlink(addressFile.c_str());
        rmdir(directory.c_str());
    }
    std::string directory;
    std::string addressFile;
    std::string rebootFile;
    LoiEnvironment environment;
};

void checkTerminated(const char* buffer) {
    if (std::memchr(buffer, '\0', kAddressBuffer) == nullptr) {
        std::fprintf(stderr, "loiAddressFuzz: address not terminated\n");
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Scratch scratch;
    if (size == 0)
        return 0;
    // The first byte picks the line; the rest is the file.
    int which = data[0] % 3;
    {
        std::ofstream file(scratch.addressFile, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    // Exactly 16 bytes on the heap, so that AddressSanitizer sees one more.
    std::unique_ptr<char[]> address(new char[kAddressBuffer]);
    std::memcpy(address.get(), "untouched", 10);
    getGcLOIIpAddress(address.get(), static_cast<GC_LOI_INTERFACE_ENUM>(which));
    checkTerminated(address.get());

    // The same bytes as a panel address to derive the analyser's from.
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::unique_ptr<char[]> derived(new char[kAddressBuffer]);
    makeGcLOIIpAddress(text.c_str(), derived.get());
    checkTerminated(derived.get());
    return 0;
}
