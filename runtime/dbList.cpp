// Database value lists: read results into caller variables, caller variables
// into write lists. Values travel as raw bytes in the machine's own order;
// nothing here converts or reinterprets them except to print a trace line.
#include "dbList.h"

#include "dbNames.h"
#include "debug.h"
#include "sysLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kModule = "dbList";

// Source lines named in this module's log and trace records.
const unsigned long kLineMissingRequest = 138;
const unsigned long kLineUnsupportedRead = 159;
const unsigned long kLineTraceBoolean = 173;
const unsigned long kLineTraceUchar = 178;
const unsigned long kLineTraceChar = 182;
const unsigned long kLineTraceUint8 = 186;
const unsigned long kLineTraceInt8 = 190;
const unsigned long kLineTraceUint16 = 194;
const unsigned long kLineTraceInt16 = 198;
const unsigned long kLineTraceUint32 = 202;
const unsigned long kLineTraceInt32 = 206;
const unsigned long kLineTraceUint64 = 210;
const unsigned long kLineTraceInt64 = 214;
const unsigned long kLineTraceFloat32 = 218;
const unsigned long kLineTraceFloat64 = 222;
const unsigned long kLineTraceBit32 = 226;
const unsigned long kLineTraceString = 230;
const unsigned long kLineTraceBinary = 236;
const unsigned long kLineUnsupportedWrite = 290;
const unsigned long kLineUnrecognizedWrite = 294;

const char* const kMissingRequestFormat =
    "DBPoint %s, units %s, type %s not found in read data info array (called from %s@%ld).";
const char* const kUnsupportedReadFormat = "Unsupported data type %s for %s (called from %s@%ld).";
const char* const kUnsupportedWriteFormat =
    "Unsupported write list data type (%s) for point %s (called from %s@%ld)";
const char* const kUnrecognizedWriteFormat =
    "Unrecognized write list data type (%d) for point %s (called from %s@%ld)";

// Trace lines: the type's tag padded to eight characters (UCHAR to nine).
const char* const kTraceBoolean = "BOOLEAN value read for %s  = %u (called from %s@%ld)";
const char* const kTraceUchar = "UCHAR    value read for %s  = %c (called from %s@%ld)";
const char* const kTraceChar = "CHAR    value read for %s  = %c (called from %s@%ld)";
const char* const kTraceUint8 = "UINT8   value read for %s  = %u (called from %s@%ld)";
const char* const kTraceInt8 = "INT8    value read for %s  = %d (called from %s@%ld)";
const char* const kTraceUint16 = "UINT16  value read for %s  = %i (called from %s@%ld)";
const char* const kTraceInt16 = "INT16   value read for %s  = %i (called from %s@%ld)";
const char* const kTraceUint32 = "UINT32  value read for %s  = %i (called from %s@%ld)";
const char* const kTraceInt32 = "INT32   value read for %s  = %i (called from %s@%ld)";
const char* const kTraceUint64 = "UINT64  value read for %s  = %lld (called from %s@%ld)";
const char* const kTraceInt64 = "INT64   value read for %s  = %lld (called from %s@%ld)";
const char* const kTraceFloat32 = "FLOAT32 value read for %s  = %f (called from %s@%ld)";
const char* const kTraceFloat64 = "FLOAT64 value read for %s  = %e (called from %s@%ld)";
const char* const kTraceBit32 = "Bit32   value read for %s  = %i (called from %s@%ld)";
const char* const kTraceString = "STRING  value read for %s  = %s (called from %s@%ld)";
const char* const kTraceBinary = "BINARY  value read for %s  = 0x%x (ptr) (called from %s@%ld)";

// Known to the database, but carries no value that can be moved.
const std::uint32_t kUnusedDataType = 16;

// Printed where the caller passed no file name.
const char* const kNoFile = "(null)";

struct Caller {
    const char* file;
    long line;
};

Caller callerOf(const char* file, unsigned long line) {
    return {file != nullptr ? file : kNoFile, static_cast<long>(line)};
}

// Bytes that a scalar value of the type occupies at the start of the value
// area and in the caller's variable; 0 for STRING and the types that carry no
// value. BINARY is a pointer, as wide as the machine's pointers.
std::size_t scalarWidth(std::uint32_t dataType) {
    switch (dataType) {
    case DB_DATA_TYPE_BOOLEAN:
    case DB_DATA_TYPE_UCHAR:
    case DB_DATA_TYPE_CHAR:
    case DB_DATA_TYPE_UINT8:
    case DB_DATA_TYPE_INT8:
        return 1;
    case DB_DATA_TYPE_UINT16:
    case DB_DATA_TYPE_INT16:
        return 2;
    case DB_DATA_TYPE_UINT32:
    case DB_DATA_TYPE_INT32:
    case DB_DATA_TYPE_FLOAT32:
    case DB_DATA_TYPE_BIT32:
        return 4;
    case DB_DATA_TYPE_UINT64:
    case DB_DATA_TYPE_INT64:
    case DB_DATA_TYPE_FLOAT64:
        return 8;
    case DB_DATA_TYPE_BINARY:
        return sizeof(void*);
    default:
        return 0;
    }
}

template <typename T> T valueAs(const unsigned char* area) {
    T value;
    std::memcpy(&value, area, sizeof value);
    return value;
}

// The text of a STRING record; a record without a text stands for an empty one.
const char* textOf(const dbapi_data_list_struct& record) {
    const char* text = valueAs<const char*>(record.value);
    return text != nullptr ? text : "";
}

bool matches(const DB_READ_DATA_STRUCT& request, const dbapi_data_list_struct& record) {
    return request.point_id == record.point_id && request.units == record.units &&
           request.data_type == record.data_type;
}

const DB_READ_DATA_STRUCT* findRequest(const DB_READ_DATA_STRUCT* requests, unsigned short count,
                                       const dbapi_data_list_struct& record) {
    for (unsigned short i = 0; i < count; ++i)
        if (matches(requests[i], record))
            return &requests[i];
    return nullptr;
}

void logMissingRequest(const dbapi_data_list_struct& record, const Caller& caller) {
    SysLog(ERR_SEVERITY_ERROR, ERR_DB_LIST, kModule, kLineMissingRequest, kMissingRequestFormat,
           GetDBPointName(record.point_id), GetUnitName(record.units),
           GetDataTypeName(record.data_type), caller.file, caller.line);
}

// Copies the record's value into the variable; false when the type carries
// no value, in which case the variable is left alone. The variable may
// overlap what is copied (a text already inside the caller's buffer).
bool storeValue(const dbapi_data_list_struct& record, void* variable) {
    if (record.data_type == DB_DATA_TYPE_STRING) {
        const char* text = textOf(record);
        std::memmove(variable, text, std::strlen(text) + 1);
        return true;
    }
    std::size_t width = scalarWidth(record.data_type);
    if (width == 0)
        return false;
    std::memmove(variable, record.value, width);
    return true;
}

void logUnsupportedRead(const dbapi_data_list_struct& record, const Caller& caller) {
    SysLog(ERR_SEVERITY_PROBLEM, ERR_DB_LIST, kModule, kLineUnsupportedRead, kUnsupportedReadFormat,
           GetDataTypeName(record.data_type), GetDBPointName(record.point_id), caller.file,
           caller.line);
}

// The stored value's trace line. Note how some types show: BOOLEAN and CHAR
// bytes are widened as signed bytes, UINT32 goes through "%i" (4294967295
// reads -1), both 64-bit types are signed decimals, BINARY is the pointer's
// 32 bits.
void traceValue(const dbapi_data_list_struct& record, const Caller& caller) {
    const unsigned char* v = record.value;
    const char* point = GetDBPointName(record.point_id);
    switch (record.data_type) {
    case DB_DATA_TYPE_BOOLEAN:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceBoolean, kTraceBoolean, point,
                 static_cast<unsigned>(static_cast<int>(valueAs<std::int8_t>(v))), caller.file,
                 caller.line);
        break;
    case DB_DATA_TYPE_UCHAR:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceUchar, kTraceUchar, point,
                 static_cast<int>(valueAs<std::uint8_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_CHAR:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceChar, kTraceChar, point,
                 static_cast<int>(valueAs<std::int8_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_UINT8:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceUint8, kTraceUint8, point,
                 static_cast<unsigned>(valueAs<std::uint8_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_INT8:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceInt8, kTraceInt8, point,
                 static_cast<int>(valueAs<std::int8_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_UINT16:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceUint16, kTraceUint16, point,
                 static_cast<int>(valueAs<std::uint16_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_INT16:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceInt16, kTraceInt16, point,
                 static_cast<int>(valueAs<std::int16_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_UINT32:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceUint32, kTraceUint32, point,
                 static_cast<int>(valueAs<std::int32_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_INT32:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceInt32, kTraceInt32, point,
                 static_cast<int>(valueAs<std::int32_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_UINT64:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceUint64, kTraceUint64, point,
                 static_cast<long long>(valueAs<std::int64_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_INT64:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceInt64, kTraceInt64, point,
                 static_cast<long long>(valueAs<std::int64_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_FLOAT32:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceFloat32, kTraceFloat32, point,
                 static_cast<double>(valueAs<float>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_FLOAT64:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceFloat64, kTraceFloat64, point,
                 valueAs<double>(v), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_BIT32:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceBit32, kTraceBit32, point,
                 static_cast<int>(valueAs<std::int32_t>(v)), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_STRING:
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceString, kTraceString, point,
                 textOf(record), caller.file, caller.line);
        break;
    case DB_DATA_TYPE_BINARY: {
        // A 64-bit build shows the pointer's low 32 bits.
        auto address = reinterpret_cast<std::uintptr_t>(valueAs<const void*>(v));
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTraceBinary, kTraceBinary, point,
                 static_cast<unsigned>(static_cast<std::uint32_t>(address)), caller.file,
                 caller.line);
        break;
    }
    default:
        break;
    }
}

} // namespace

void DbList_StoreDBReadValues_MT(dbapi_data_list_struct* list, DB_READ_DATA_STRUCT* requests,
                                 unsigned short requestCount, bool tolerateMissing,
                                 char* callerFile, unsigned long callerLine) {
    const Caller caller = callerOf(callerFile, callerLine);
    for (const dbapi_data_list_struct* record = list; record != nullptr; record = record->next) {
        const DB_READ_DATA_STRUCT* request = findRequest(requests, requestCount, *record);
        if (request == nullptr) {
            logMissingRequest(*record, caller);
            if (!tolerateMissing)
                std::abort();
            continue;
        }
        if (!storeValue(*record, request->data_ptr)) {
            logUnsupportedRead(*record, caller);
            continue;
        }
        if (debugLevelIV())
            traceValue(*record, caller);
    }
}

void DbList_StoreDBReadValues(dbapi_data_list_struct* list, DB_READ_DATA_STRUCT* requests,
                              unsigned short requestCount, char* callerFile,
                              unsigned long callerLine) {
    DbList_StoreDBReadValues_MT(list, requests, requestCount, false, callerFile, callerLine);
}

void DbList_UpdtWriteList(DB_WRITE_DATA_STRUCT* entries, unsigned short entryCount,
                          char* callerFile, unsigned long callerLine) {
    const Caller caller = callerOf(callerFile, callerLine);
    for (unsigned short i = 0; i < entryCount; ++i) {
        DB_WRITE_DATA_STRUCT& entry = entries[i];
        if (entry.data_type == DB_DATA_TYPE_STRING) {
            // The entry refers to the caller's text; the text is not copied.
            const void* text = entry.data_ptr;
            std::memcpy(entry.value, &text, sizeof text);
            continue;
        }
        std::size_t width = scalarWidth(entry.data_type);
        if (width != 0) {
            // data_ptr may point into the entry's own value area.
            std::memmove(entry.value, entry.data_ptr, width);
        } else if (entry.data_type == kUnusedDataType) {
            SysLog(ERR_SEVERITY_PROBLEM, ERR_DB_LIST, kModule, kLineUnsupportedWrite,
                   kUnsupportedWriteFormat, GetDataTypeName(entry.data_type),
                   GetDBPointName(entry.point_id), caller.file, caller.line);
        } else {
            SysLog(ERR_SEVERITY_PROBLEM, ERR_DB_LIST, kModule, kLineUnrecognizedWrite,
                   kUnrecognizedWriteFormat, static_cast<int>(entry.data_type),
                   GetDBPointName(entry.point_id), caller.file, caller.line);
        }
    }
}
