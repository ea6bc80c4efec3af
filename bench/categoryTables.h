// The eleven hardware-category tables in the order deviceScan rewrites them,
// for the floor and the database generator.
#pragma once

namespace bench {

// clang-format off
inline const char* const kCategoryTables[] = {
    "ANALOG_INPUTS_SEL", "ANALOG_OUTPUTS_SEL", "DIGITAL_INPUTS_SEL", "DIGITAL_OUTPUTS_SEL",
    "HEATER_CONTROL_SEL", "DETECTOR_SEL", "SOLENOID_VALVE_SEL", "EPC_SEL", "RTD_SEL",
    "PREAMP_STREAMING_SEL", "ZVLTLOI_SEL"};
// clang-format on

} // namespace bench
