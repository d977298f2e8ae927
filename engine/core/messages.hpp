// Every text of the network model core, written once.
#pragma once

namespace tarvelo::messages {

// Index preconditions carry the condition they check.
inline constexpr const char* port_i_in_range = "(size_t)i < ports.size()";
inline constexpr const char* port_j_in_range = "(size_t)j < element.ports.size()";
inline constexpr const char* first_port_index_in_range = "(size_t)ports_index[0] < ports.size()";
inline constexpr const char* port_index_i_in_range = "(size_t)ports_index[i] < ports.size()";
inline constexpr const char* size_in_range = "(size_t)size <= ports.size()";
inline constexpr const char* index_in_range = "(size_t)index < ports.size()";

inline constexpr const char* no_sweep_step =
    "2 No backward-forward method has been defined for this element";

inline constexpr const char* link_cursor_outside = "link cursor outside the solver vectors";
inline constexpr const char* row_outside = "residual row outside the residual vector";

}  // namespace tarvelo::messages
