// Database client name look-ups stand-in: points and units are named after
// their numbers, data types after their codes. A build for the analyser links
// the client library's own look-ups instead.
#include "dbNames.h"

#include <cstdio>

namespace {

const char* const kPointFormat = "POINT_%d";
const char* const kUnitFormat = "UNIT_%d";
const char* const kDataTypeFormat = "DATA_TYPE_%u";

// Indexed by data type code. Codes 0 and 16 carry no value type.
const char* const kDataTypeNames[] = {
    "UNDEFINED", "BOOLEAN", "UCHAR", "CHAR",    "UINT8",   "INT8",  "UINT16", "INT16",  "UINT32",
    "INT32",     "UINT64",  "INT64", "FLOAT32", "FLOAT64", "BIT32", "STRING", "UNUSED", "BINARY",
};
const std::uint32_t kDataTypeNameCount = sizeof kDataTypeNames / sizeof kDataTypeNames[0];

// Large enough for the longest prefix and any 32-bit number.
const std::size_t kNameSize = 32;

} // namespace

const char* GetDBPointName(std::int32_t pointId) {
    thread_local char name[kNameSize];
    std::snprintf(name, sizeof name, kPointFormat, static_cast<int>(pointId));
    return name;
}

const char* GetUnitName(std::int32_t units) {
    thread_local char name[kNameSize];
    std::snprintf(name, sizeof name, kUnitFormat, static_cast<int>(units));
    return name;
}

const char* GetDataTypeName(std::uint32_t dataType) {
    if (dataType < kDataTypeNameCount)
        return kDataTypeNames[dataType];
    thread_local char name[kNameSize];
    std::snprintf(name, sizeof name, kDataTypeFormat, static_cast<unsigned>(dataType));
    return name;
}
