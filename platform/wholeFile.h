// Whole files: read at once, and replaced at once, durably.
//
// readWholeFile takes only a regular file, opened without blocking, so that
// a FIFO or a device put in a file's place can neither hang nor feed the
// reader.
//
// replaceWholeFile makes a file hold exactly the given bytes, so that a
// reader, a killed process or a power cut finds the old file or the new one,
// never a part:
//   - a file that already holds exactly those bytes (the file on disk now)
//     is left in place and only synced: no temporary file, no rename;
//   - otherwise a temporary file is created beside it (same directory, so the
//     rename cannot cross file systems), private until it is given the old
//     file's owner, group and mode (the group and mode alone when the owner may not be kept; a
//     file that is not there gets the mode a new file gets, 0666 less the
//     umask), written whole (short and interrupted writes go on), synced,
//     renamed over the file, and the directory synced so that the rename
//     survives a power cut.
// Every failure is returned with its step and errno and nothing is logged:
// the caller knows what the file is for and how to report it. The temporary
// file never outlives a failure. Only a failed sync of the directory leaves
// the new file in place, and it may then not survive a power cut.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Reads the file whole into text. False with err set when it cannot: EFBIG
// for a file of more than limit bytes (refused before anything is allocated
// for it), kNotRegularFile for anything but a regular file. Throws when
// memory runs out.
const int kNotRegularFile = -1;
bool readWholeFile(const std::string& path, std::size_t limit, std::string& text, int& err);
// strerror, and a text for kNotRegularFile.
const char* wholeFileError(int err);

enum class ReplaceStep { none, create, keepMode, write, sync, close, rename, syncDirectory };

struct ReplaceResult {
    ReplaceStep failed = ReplaceStep::none;
    int error = 0; // errno of the failed step
    // The old file's owner could not be given to the new one (errno in
    // ownerError); groupKept says whether its group was. The file is
    // replaced all the same.
    int ownerError = 0;
    bool groupKept = true;
    uid_t owner = 0;
    gid_t group = 0;
};

// Makes path hold exactly content, as above. The temporary file is named
// after the file, with ".tmp" and six random characters; a name too long
// for that in one directory entry is cut.
ReplaceResult replaceWholeFile(const std::string& path, const std::string& content);

// The step as a short verb for a record: "create", "chmod", "write", ...
const char* replaceStepName(ReplaceStep step);
