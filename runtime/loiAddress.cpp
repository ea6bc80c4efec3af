// Operator-panel address file and upgrade watchdog.
#include "loiAddress.h"

#include "loiAddressInternal.h"
#include "wholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const kAddressFile = "/nvdata/startup/Loi_Ip_Address.txt";
const char* const kRebootFlagFile = "/nvdata/NeedToManuallyRebootGC";

const char* const kLoiKey = "LOI-IP-ADDRESS:";
const char* const kGcKey = "GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:";
// Line 1 ends with a blank before its newline, as the analyser's own shell
// rewrite of the file has always left it.
const char* const kLoiLineEnd = " \n";
const char* const kGcLineEnd = "\n";

// An address-file line is read up to 199 characters.
const std::size_t kLineSize = 200;
// The longest dotted-decimal address, "255.255.255.255", and its NUL.
const std::size_t kAddressSize = 16;
// One character more than an address may have, so that a longer token is seen.
const char* const kAddressTokenFormat = "%16s";
const std::size_t kAddressTokenSize = kAddressSize + 1;
// Four numbers of up to ten digits, three dots and the NUL.
const std::size_t kDerivedTextSize = 4 * 10 + 3 + 1;

const char* const kUploadPipeline = "ps -w | grep -i ftpput | grep -v grep";
const char* const kUploadProgram = "ftpput";
const char* const kUploadFile = "upgrade_LOI.txt";
// The first listing line is read up to 299 characters.
const std::size_t kListingLineSize = 300;
// A process id of at most 9 characters and its NUL; the token format reads
// one character more so that a longer word is recognised and not cut.
const std::size_t kProcessIdSize = 10;
const char* const kProcessIdTokenFormat = "%10s";
const std::size_t kProcessIdTokenSize = kProcessIdSize + 1;
const char* const kKillFormat = "kill %s";
const std::size_t kKillCommandSize = 100;
const char* const kRebootFlagCommand = "echo > ";

const int kUpgradeAttempts = 3;
const unsigned int kSettleSeconds = 3;
const unsigned int kGraceSeconds = 30;

const unsigned int kHighestOctet = 255;
const std::size_t kMostOctetDigits = 3;
const int kOctets = 4;

const LoiEnvironment kAnalyser = {kAddressFile, kRebootFlagFile, ::sleep};
const LoiEnvironment* environment = &kAnalyser;

// Runs a shell command whose outcome nobody looks at.
void runShell(const char* command) {
    int ignored = std::system(command);
    (void)ignored;
}

// Copies the address after key into address when line begins with key and
// the address fits; white space right after the key is skipped.
void takeAddress(const char* line, const char* key, char* address) {
    std::size_t keyLength = std::strlen(key);
    if (std::strncmp(line, key, keyLength) != 0)
        return;
    char token[kAddressTokenSize] = {};
    if (std::sscanf(line + keyLength, kAddressTokenFormat, token) != 1)
        return;
    if (std::strlen(token) < kAddressSize)
        std::memcpy(address, token, std::strlen(token) + 1);
}

// Four decimal numbers 0 to 255 joined by dots and nothing else. Leading
// zeros are refused: other tools read "010" as octal.
bool isDottedDecimal(const char* text) {
    if (text == nullptr)
        return false;
    const char* at = text;
    for (int octet = 0; octet < kOctets; ++octet) {
        if (octet > 0 && *at++ != '.')
            return false;
        const char* start = at;
        unsigned int value = 0;
        while (*at >= '0' && *at <= '9' && static_cast<std::size_t>(at - start) < kMostOctetDigits)
            value = value * 10 + static_cast<unsigned int>(*at++ - '0');
        std::size_t digits = static_cast<std::size_t>(at - start);
        if (digits == 0 || value > kHighestOctet || (digits > 1 && *start == '0'))
            return false;
    }
    return *at == '\0';
}

// Only a process id goes into the kill command: the word comes from another
// program's output and the command goes through the shell.
bool isProcessId(const char* word) {
    if (*word == '\0')
        return false;
    for (const char* at = word; *at != '\0'; ++at)
        if (*at < '0' || *at > '9')
            return false;
    return true;
}

} // namespace

void loiSetEnvironment(const LoiEnvironment* replacement) {
    environment = replacement != nullptr ? replacement : &kAnalyser;
}

int getGcLOIIpAddress(char* address, GC_LOI_INTERFACE_ENUM which) {
    FILE* file = std::fopen(environment->addressFile, "r");
    if (file == nullptr)
        return 0;
    char line[kLineSize] = {};
    if (std::fgets(line, sizeof line, file) == nullptr) {
        std::fclose(file);
        return 0;
    }
    const char* key = nullptr;
    if (which == LOI_IP_ADDRESS) {
        key = kLoiKey;
    } else if (which == GC_IP_ADDRESS_FOR_LOI) {
        key = kGcKey;
        // Without a line 2 the scan looks at line 1 again.
        char second[kLineSize] = {};
        if (std::fgets(second, sizeof second, file) != nullptr)
            std::memcpy(line, second, sizeof line);
    } else {
        std::fclose(file);
        return 0;
    }
    if (address != nullptr)
        takeAddress(line, key, address);
    std::fclose(file);
    return 1;
}

void makeGcLOIIpAddress(const char* loiAddress, char* gcAddress) {
    unsigned int number[kOctets] = {0, 0, 0, 0};
    if (loiAddress != nullptr)
        std::sscanf(loiAddress, "%u.%u.%u.%u", &number[0], &number[1], &number[2], &number[3]);
    number[3] = number[3] <= 1 ? kHighestOctet : number[3] - 1;
    // Text that is not dotted-decimal may hold numbers of any length; the
    // caller's buffer only has to hold a real address, so the rest is cut.
    char derived[kDerivedTextSize] = {};
    std::snprintf(derived, sizeof derived, "%u.%u.%u.%u", number[0], number[1], number[2],
                  number[3]);
    std::size_t length = strnlen(derived, kAddressSize - 1);
    std::memcpy(gcAddress, derived, length);
    gcAddress[length] = '\0';
}

int setGcLOIIpAddress(const char* loiAddress) {
    if (!isDottedDecimal(loiAddress))
        return 0;
    char gcAddress[kAddressSize] = {};
    makeGcLOIIpAddress(loiAddress, gcAddress);
    std::string content =
        std::string(kLoiKey) + loiAddress + kLoiLineEnd + kGcKey + gcAddress + kGcLineEnd;
    // A failed sync of the directory counts as a failure too: the new file
    // may not survive a power cut, and writing it again does no harm.
    return replaceWholeFile(environment->addressFile, content).failed == ReplaceStep::none ? 1 : 0;
}

int findLOIUpgradeUpload(char* processId) {
    FILE* listing = popen(kUploadPipeline, "r");
    if (listing == nullptr)
        return 0;
    // grep -i also passes "FTPPUT"; only the exact program name counts.
    char line[kListingLineSize] = {};
    int found = 0;
    if (std::fgets(line, sizeof line, listing) != nullptr &&
        std::strstr(line, kUploadProgram) != nullptr && std::strstr(line, kUploadFile) != nullptr) {
        found = 1;
        char word[kProcessIdTokenSize] = {};
        if (processId != nullptr && std::sscanf(line, kProcessIdTokenFormat, word) == 1 &&
            std::strlen(word) < kProcessIdSize)
            std::memcpy(processId, word, std::strlen(word) + 1);
    }
    pclose(listing);
    return found;
}

void killLOIUpgradeUploads() {
    for (;;) {
        char processId[kProcessIdSize] = {};
        if (findLOIUpgradeUpload(processId) == 0 || !isProcessId(processId))
            return;
        char command[kKillCommandSize] = {};
        std::snprintf(command, sizeof command, kKillFormat, processId);
        runShell(command);
    }
}

void runLOIUpgrade(const char* command) {
    if (command == nullptr || *command == '\0')
        return;
    for (int attempt = 1; attempt <= kUpgradeAttempts; ++attempt) {
        runShell(command);
        environment->sleepFor(kSettleSeconds);
        if (findLOIUpgradeUpload(nullptr) == 0)
            return;
        environment->sleepFor(kGraceSeconds);
        killLOIUpgradeUploads();
    }
    std::string flag = std::string(kRebootFlagCommand) + environment->rebootFlagFile;
    runShell(flag.c_str());
}
