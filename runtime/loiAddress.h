// The local operator panel (LOI): its link addresses and its upgrade watchdog.
//
// The address file "/nvdata/startup/Loi_Ip_Address.txt" holds two lines:
//   "LOI-IP-ADDRESS:" and the panel's dotted-decimal address, then a blank;
//   "GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:" and the analyser's address on the
//   panel link.
// Readers take an address as the characters after the key up to the first
// white space. An address is at most 15 characters (the longest dotted-decimal
// text); a longer one is not taken.
//
// A panel upgrade uploads "upgrade_LOI.txt" with an ftpput process. The upgrade
// helpers watch the process listing ("ps -w") for that upload, kill it when it
// hangs, retry, and after the last failed attempt leave the flag file
// "/nvdata/NeedToManuallyRebootGC" that asks for a manual reboot.
//
// Nothing here logs: results are plain return values, and the outcome of shell
// commands is not examined. Only getGcLOIIpAddress is exported.
#pragma once

#include "export.h"

#include <cstdint>

enum GC_LOI_INTERFACE_ENUM : std::int32_t {
    LOI_IP_ADDRESS = 0,        // the panel's own address (line 1)
    GC_IP_ADDRESS_FOR_LOI = 1, // the analyser's address on the panel link (line 2)
};

// Copies the selected address, NUL-terminated, into address (16 bytes hold any
// address this module accepts) and returns 1. Returns 0 when the file is
// missing or empty or `which` is neither value above. A line with another key,
// a missing line 2 or an address longer than 15 characters leaves address as
// it was, and the result is still 1.
RUNTIME_EXPORT int getGcLOIIpAddress(char* address, GC_LOI_INTERFACE_ENUM which);

// Derives the analyser's link address from the panel's: the same address with
// the last number one lower, or 255 when it is 0 or 1. Numbers the text does
// not hold count as 0. Writes at most 16 bytes, NUL included, into gcAddress.
void makeGcLOIIpAddress(const char* loiAddress, char* gcAddress);

// Replaces the address file with loiAddress and the address derived from it.
// Only dotted-decimal IPv4 text is taken (four numbers 0 to 255, no leading
// zeros, nothing around them); anything else leaves the file alone. The file
// is replaced whole or not at all, durably, keeping its owner, group and mode.
// Returns 1 when the new file is in place and synced, else 0.
int setGcLOIIpAddress(const char* loiAddress);

// Returns 1 when the first ftpput line of the process listing is an upload of
// "upgrade_LOI.txt", else 0 (also when the listing cannot be started). When
// processId is given (10 bytes), the line's first word is copied into it if it
// is at most 9 characters long.
int findLOIUpgradeUpload(char* processId);

// Kills upgrade uploads until none is listed. An upload that survives its kill
// is found and killed again, without limit.
void killLOIUpgradeUploads();

// Runs command through the shell, up to three times: an attempt is done when
// no upgrade upload is listed 3 seconds after it; otherwise the upload gets 30
// seconds more and is killed. After the third failed attempt the reboot flag
// file is written. An empty or missing command runs nothing.
void runLOIUpgrade(const char* command);
