// The platform's error code table: the fixed English message of each error
// number that the platform passes with its system-log records.
#pragma once

#include "export.h"

#include <cstdint>

// The message of CODE, or "Undefined Error" for a code without an entry. The
// text is constant and lives for the whole process; the caller must not
// change or free it. Exported under its plain, unmangled name.
extern "C" RUNTIME_EXPORT const char* GetErrorString(std::int32_t code);
