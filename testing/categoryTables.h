// The eleven hardware-category tables in the order deviceScan visits them,
// for tests and benchmarks. Written out here rather than taken from the
// program, so that a change to the program's own list shows in the tests.
#pragma once

namespace testing_support {

// clang-format off
inline const char* const kCategoryTables[] = {
    "ANALOG_INPUTS_SEL", "ANALOG_OUTPUTS_SEL", "DIGITAL_INPUTS_SEL", "DIGITAL_OUTPUTS_SEL",
    "HEATER_CONTROL_SEL", "DETECTOR_SEL", "SOLENOID_VALVE_SEL", "EPC_SEL", "RTD_SEL",
    "PREAMP_STREAMING_SEL", "ZVLTLOI_SEL"};
// clang-format on

} // namespace testing_support
