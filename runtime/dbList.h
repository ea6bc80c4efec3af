// Database value lists: moving the values of a multi-point database read into
// the process's own variables, and refreshing a write list from them.
//
// The records are exchanged with the database client library, so their layout
// is fixed on the analyser (32-bit pointers, the machine's own byte order);
// on a 64-bit build only the pointer fields are wider. A value sits at the
// start of its 8-byte `value` area and is copied as bytes: the first byte for
// the 1-byte types, the first 2, 4 or 8 bytes for the wider ones. STRING and
// BINARY hold a pointer there (all of the area's first pointer-sized bytes).
//
// Neither operation reports anything to its caller. Trouble goes to the system
// log with error number 106 and the caller's file@line: a read record without
// a matching request (severity 0; the process aborts unless the caller
// tolerates it), and a type that carries no value (severity 1; the variable or
// entry is left as it was and the walk goes on). Values stored before a
// failure stay stored. While the "special debug level IV" traces are on
// (debugLevelIV()), every stored read value gets one trace line. The name
// look-ups of the database client are made only for a line being written.
//
// No locks and no state of their own: calls on different lists and request
// arrays do not touch each other.
#pragma once

#include "export.h"

#include <cstddef>
#include <cstdint>

// Data type codes. 0, 16 and 18 and above carry no value that can be moved.
enum DB_DATA_TYPE_ENUM : std::uint32_t {
    DB_DATA_TYPE_BOOLEAN = 1,
    DB_DATA_TYPE_UCHAR = 2,
    DB_DATA_TYPE_CHAR = 3,
    DB_DATA_TYPE_UINT8 = 4,
    DB_DATA_TYPE_INT8 = 5,
    DB_DATA_TYPE_UINT16 = 6,
    DB_DATA_TYPE_INT16 = 7,
    DB_DATA_TYPE_UINT32 = 8,
    DB_DATA_TYPE_INT32 = 9,
    DB_DATA_TYPE_UINT64 = 10,
    DB_DATA_TYPE_INT64 = 11,
    DB_DATA_TYPE_FLOAT32 = 12, // IEEE 754 single
    DB_DATA_TYPE_FLOAT64 = 13, // IEEE 754 double
    DB_DATA_TYPE_BIT32 = 14,
    DB_DATA_TYPE_STRING = 15, // pointer to a NUL-terminated text
    DB_DATA_TYPE_BINARY = 17, // pointer to data that stays with its owner
};

const unsigned kDbValueSize = 8;

// One value of a read result, as the database client returns it: a singly
// linked list owned by the client, only read here.
struct dbapi_data_list_struct {
    std::int32_t point_id;
    DB_DATA_TYPE_ENUM data_type;
    unsigned char value[kDbValueSize];
    std::int32_t units;
    std::uint32_t reserved;       // the client's business
    dbapi_data_list_struct* next; // null ends the list
};

// One read request: the point wanted, in which units and type, and the
// caller's variable that receives it (for STRING, its character buffer).
struct DB_READ_DATA_STRUCT {
    std::int32_t point_id;
    std::int32_t units;
    DB_DATA_TYPE_ENUM data_type;
    std::uint32_t reserved; // the client's business
    void* data_ptr;
};

// One write-list entry: the point to write, its type, the value area the
// client sends, and the caller's variable that holds the value.
struct DB_WRITE_DATA_STRUCT {
    std::int32_t point_id;
    DB_DATA_TYPE_ENUM data_type;
    unsigned char value[kDbValueSize];
    unsigned char reserved[12]; // the client's business
    void* data_ptr;
};

static_assert(sizeof(void*) <= kDbValueSize, "a pointer value must fit the value area");

// Field places shared with the database client library. The sizes and the
// pointer fields' places are those of the analyser's 32-bit build; a 64-bit
// build widens the pointers and moves nothing else.
static_assert(offsetof(dbapi_data_list_struct, data_type) == 4, "read record data_type");
static_assert(offsetof(dbapi_data_list_struct, value) == 8, "read record value");
static_assert(offsetof(dbapi_data_list_struct, units) == 16, "read record units");
static_assert(offsetof(DB_READ_DATA_STRUCT, units) == 4, "read request units");
static_assert(offsetof(DB_READ_DATA_STRUCT, data_type) == 8, "read request data_type");
static_assert(offsetof(DB_WRITE_DATA_STRUCT, data_type) == 4, "write entry data_type");
static_assert(offsetof(DB_WRITE_DATA_STRUCT, value) == 8, "write entry value");
static_assert(offsetof(DB_WRITE_DATA_STRUCT, reserved) == 16, "write entry reserved");

constexpr bool kDbPointers32 = sizeof(void*) == 4;
static_assert(!kDbPointers32 || sizeof(dbapi_data_list_struct) == 28, "read record size");
static_assert(!kDbPointers32 || offsetof(dbapi_data_list_struct, next) == 24, "read record next");
static_assert(!kDbPointers32 || sizeof(DB_READ_DATA_STRUCT) == 20, "read request size");
static_assert(!kDbPointers32 || offsetof(DB_READ_DATA_STRUCT, data_ptr) == 16,
              "read request data_ptr");
static_assert(!kDbPointers32 || sizeof(DB_WRITE_DATA_STRUCT) == 32, "write entry size");
static_assert(!kDbPointers32 || offsetof(DB_WRITE_DATA_STRUCT, data_ptr) == 28,
              "write entry data_ptr");

// Walks `list` (may be null: nothing happens) and stores each record's value
// in the first request, by index, whose point, units and data type all equal
// the record's. STRING copies the text with its NUL, without a length check:
// the buffer must hold the point's longest text. BINARY stores the pointer,
// not the data. `requests` may be null only when `requestCount` is 0.
RUNTIME_EXPORT void DbList_StoreDBReadValues_MT(dbapi_data_list_struct* list,
                                                DB_READ_DATA_STRUCT* requests,
                                                unsigned short requestCount, bool tolerateMissing,
                                                char* callerFile, unsigned long callerLine);

// DbList_StoreDBReadValues_MT that never tolerates a record without a request.
RUNTIME_EXPORT void DbList_StoreDBReadValues(dbapi_data_list_struct* list,
                                             DB_READ_DATA_STRUCT* requests,
                                             unsigned short requestCount, char* callerFile,
                                             unsigned long callerLine);

// Refreshes the value area of every entry, in index order, from the variable
// at its `data_ptr`. For STRING the entry receives `data_ptr` itself, so the
// caller's text must stay in place while the entry is in use. Other fields
// are left alone. `entries` may be null only when `entryCount` is 0.
RUNTIME_EXPORT void DbList_UpdtWriteList(DB_WRITE_DATA_STRUCT* entries, unsigned short entryCount,
                                         char* callerFile, unsigned long callerLine);
