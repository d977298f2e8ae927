// Every text of the element models, written once.
#pragma once

namespace tarvelo::messages {

// Index preconditions of the branches carry the condition they check.
inline constexpr const char* size1_in_range = "(size_t)size1 <= ports1.size()";
inline constexpr const char* size2_in_range = "(size_t)size2 <= ports2.size()";
inline constexpr const char* side_index_in_range = "(size_t)i < side_ports.size()";
inline constexpr const char* other_port_in_range = "(size_t)j < element.ports.size()";

inline constexpr const char* no_transformer_sweep =
    "2 No backward-forward method has been defined for transformers yet.";

// Names refused by the flexible loads and the three-phase transformer.
inline constexpr const char* bad_control_name = " is a bad control type name";
inline constexpr const char* bad_projection_name = " is a bad projection type name";
inline constexpr const char* bad_control_for_p = "Bad control type for P";
inline constexpr const char* bad_control_for_q = "Bad control type for Q";
inline constexpr const char* bad_hv_winding = "Bad HV winding: ";
inline constexpr const char* bad_lv_winding = "Bad LV winding: ";

// Constructor arguments outside the model.
inline constexpr const char* delta_ref_needs_a_port =
    "DeltaPotentialRef: expected at least 1 port, got {}";

// Flexible loads need one parameter object per phase.
inline constexpr const char* flexible_parameters_missing =
    "Flexible load: {} flexible parameters given for {} phases";
inline constexpr const char* flexible_parameter_null =
    "Flexible load: no flexible parameter given for phase {}";

// A three-phase transformer whose port count does not fit its winding: side, winding, expected
// and given counts.
inline constexpr const char* winding_port_count =
    "ThreePhaseTransformer: {} winding \"{}\" needs {} ports, got {}";

// Lines built without a conductor or without their parameter arrays.
inline constexpr const char* shunt_line_needs_a_conductor =
    "ShuntLine: expected at least 1 conductor, got 0";
inline constexpr const char* simplified_line_needs_a_conductor =
    "SimplifiedLine: expected at least 1 conductor, got 0";
inline constexpr const char* line_parameters_missing = "Line: a parameter array is missing";

}  // namespace tarvelo::messages
