// The platform's error code table and its look-up.
#include "errorTable.h"

#include <cstddef>

namespace {

struct ErrorTableEntry {
    std::int32_t code;
    const char* message;
};

const char* const kUndefinedError = "Undefined Error";

// In ascending code order except that 39 stands before 38; the messages are
// the platform's, misspellings and leading blanks included.
// One entry a line, however long its message.
// clang-format off
const ErrorTableEntry kErrorTable[] = {
    {0, "OK"},
    {1, "Malloc failed"},
    {2, "Fork failed"},
    {3, "Install signal handler failed"},
    {4, "Database client read failed"},
    {5, "Database client write failed"},
    {6, "Database client register failed"},
    {7, "Database wait failed"},
    {8, "Database open failed"},
    {12, "Comm mapping file parse failed"},
    {14, "Unable to open port"},
    {15, " Unable to initialize port configuration"},
    {16, "Unable to change port configuration"},
    {17, " One or more ports are diabled at this point"},
    {18, "Access denied to one or more members"},
    {19, "One or more members not found"},
    {20, "Unit coversion requested failed"},
    {21, "DbcWait/DbcRead timed out"},
    {22, "Member is read only"},
    {23, "Sanity limit exceeded"},
    {24, "Member value frozen and cannot be changed"},
    {25, "Data type conversion not supported"},
    {26, "There is already an open transaction"},
    {27, "There is no open transaction"},
    {28, "Could not close the database"},
    {29, "Dependency check failed for requested write"},
    {30, "Internal PELN error"},
    {31, "Database corrupted or PELN daemon died"},
    {32, "Point is pending for write in an open batch transaction"},
    {33, "Requested register points are crossing maximum allowable limit"},
    {34, "The request packet size from client to DBMgr is greater than max pipe buf"},
    {35, "The response packet size from DBMgr to client is greater than max pipe buf"},
    {36, "The data came for re write in an open batch transaction has length mismatch"},
    {37, "The dependency point is already been registered"},
    {39, "Unable to send depedency update data to depdency task"},
    {38, "The data point has got no alarm limits"},
    {40, "Unrecognized data for parsing"},
    {41, "The mapping file could not be found"},
    {42, "Invalid Data from the database or function call"},
    {43, "Unable to Close the Port"},
    {44, "If the search key is not found"},
    {45, "Invalid access for the Modbus Register"},
    {46, "Data Type not expected. Invalid data type"},
    {47, "Path task invalid value"},
    {48, "Path task duplicate acq. windows"},
    {49, "Path task acq. sound speed range"},
    {50, "Path task limit error"},
    {51, "FPGA not at seq. end when stopped"},
    {52, "GainHoldTm invalid value"},
    {53, "Batch cmnd re-acq in Acq. mode"},
    {54, "error during signal stacking"},
    {55, "Port Failed as Slave"},
    {56, "Port Failed as Master"},
    {57, "Comm Port Could not be opened"},
    {58, "Invalid port number"},
    {59, "Unable to Lock File"},
    {60, "Setting up the serial port failed"},
    {61, "If communication protocol is invalid"},
    {62, "System call failed"},
    {63, "Frame received is invalid"},
    {64, "Master timed out on the port"},
    {65, "Check on the LRC failed"},
    {66, "Trying to read from the port failed"},
    {67, "Failed to read an ASCII MSG"},
    {68, "Modbus request failed"},
    {69, "Decoding the modbus message failed"},
    {70, "Encoding the modbus message failed"},
    {71, "Illegal function code or address for the modbus"},
    {72, "Invalid length of the incoming modbus message"},
    {73, "Invalid baud rate"},
    {74, "Invalid serial type"},
    {75, "Invalid modbus id"},
    {76, "Invalid rts on delay"},
    {77, "Invalid rts off delay"},
    {78, "Inavalid stop bit"},
    {79, "Invalid time out"},
    {80, "Invalid set port B value"},
    {81, "Invalid parity"},
    {111, "External client request not supported by meter"},
    {112, " External proxy daemon failed to generate unique file name for log"},
    {113, "No read Request cached in meter"},
    {114, "Dependency/dependent pt not found in list from DB"},
    {115, "Dependency check invalid value"},
    {116, "Invalid Log type in request"},
    {117, "Invalid handle or no log creation requested"},
    {118, "Log creation cancelled for the requested log"},
    {119, "No. records present in log buffer"},
    {120, "Dependency ack failed"},
    {121, "P & T task invalid value"},
    {122, "Invalid value encountered in output HAL"},
    {123, "Error composing 'ifconfig' command string"},
    {124, "NVRAM db key not found"},
    {125, "Insufficient NVRAM db memory to write a new key-value pair"},
    {126, "Insufficient NVRAM transaction memory write a new key-value pair"},
    {127, "NVRAM transaction is already open"},
    {128, "NVRAM transaction not open for writing"},
    {129, "NVRAM key value is > 65536"},
    {130, "The write protect attribute of the point is set to TRUE"},
    {131, "Log buffer is full, hence cannot continue logging"},
    {132, "Structure version not supported by meter"},
    {133, "Action type for the timed type logs not supported by the log generation logic,Please investigate"},
    {134, "Request to close batch transaction failed"},
    {135, "Write to transaction failed"},
    {136, "DBClient write failed due to broken pipe to dbManager."},
    {137, "Unit conversion failed due to dissimilar unit types."},
    {138, "Retry read request to dbserver"},
    {139, "Attempted division by zero."},
    {140, "Attempted square root of negative number."},
    {141, "Invalid action in case og active/unacknowledged alarm clear"},
    {142, "Alarm state not found"},
    {143, "No unacknowledged alarm flag is active"},
    {144, "No alarm state flags are active"},
    {145, "Invalid access level passed to dbcOpen"},
    {146, "Alarm task received invalid request from client"},
    {148, "General Error"},
    {151, "Invalid Data In Received Packet Header"},
    {152, "Ynod Datatbase Error"},
    {153, "Invalid YNOD File Request Type"},
    {154, "Error In Read Description From Ynod File"},
    {155, "Error In Write Description In To Ynod File"},
    {156, "CRC check failed"},
    {157, "CV Archive database error"},
    {158, "Attempted units conversion with only one unitless member"},
    {159, "The GC is currently low on memory and is unable to process the request. Please try later."},
};
// clang-format on

const std::size_t kErrorTableSize = sizeof kErrorTable / sizeof kErrorTable[0];
static_assert(kErrorTableSize == 124, "the platform's table has 124 entries");

} // namespace

const char* GetErrorString(std::int32_t code) {
    for (std::size_t i = 0; i < kErrorTableSize; ++i)
        if (kErrorTable[i].code == code)
            return kErrorTable[i].message;
    return kUndefinedError;
}
