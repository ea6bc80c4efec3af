// Name look-ups of the database client: the printable names of point, unit
// and data type codes, used only to compose log and trace lines.
//
// Every code has a name, and a name is never null. A name built for a code
// without a fixed name stays valid until the same function is called again on
// the same thread; each function has its own storage, so one line may use the
// names of all three at once. Callers print names and neither keep nor free
// them.
#pragma once

#include <cstdint>

const char* GetDBPointName(std::int32_t pointId);
const char* GetUnitName(std::int32_t units);
const char* GetDataTypeName(std::uint32_t dataType);
