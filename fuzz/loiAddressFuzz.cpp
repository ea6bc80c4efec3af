// Fuzzes the operator-panel address file reader and the address derivation
// with any bytes: neither writes past a 16-byte buffer.
#include "loiAddress.h"
#include "loiAddressInternal.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string file = "/tmp/loiAddressFuzz." + std::to_string(getpid());
    static const LoiEnvironment environment{file.c_str(), "/dev/null", nullptr};
    static const int removed =
        (loiSetEnvironment(&environment), std::atexit([] { unlink(file.c_str()); }));
    (void)removed;
    std::string text(reinterpret_cast<const char*>(data), size);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    // Exactly 16 bytes on the heap, so that AddressSanitizer sees one more.
    std::unique_ptr<char[]> address(new char[16]()), derived(new char[16]);
    getGcLOIIpAddress(address.get(), GC_LOI_INTERFACE_ENUM(size % 3));
    makeGcLOIIpAddress(text.c_str(), derived.get());
    return 0;
}
