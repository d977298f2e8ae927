// Every text of the solvers and of the logging configuration, written once.
#pragma once

namespace tarvelo::messages {

// Failed Newton solves: the placeholder is the index of the failing iteration.
inline constexpr const char* nan_encountered = "1 NaN value encountered at iteration {}. ";
inline constexpr const char* decomposition_failed =
    "1 Decomposition failed, singular matrix at iteration {}. ";
inline constexpr const char* solving_failed = "1 Solving failed at iteration {}. ";

// A solver built, or a solve asked for, on a network whose joins changed after it was built.
inline constexpr const char* connections_changed =
    "The network's connections changed after it was built: build a new network and a new "
    "solver.";

// Log lines of the Newton solvers, at debug level.
inline constexpr const char* tape_evaluation = "----- Tape evaluation -----";
inline constexpr const char* tape_optimization = "----- Tape optimization -----";
inline constexpr const char* tape_operators = "Number of tape operators: {0:d}";
inline constexpr const char* sparse_pattern = "----- Sparse pattern initialisation -----";
inline constexpr const char* pattern_size = "n: {0:d} nnz: {1:d}";

// Logging configuration.
inline constexpr const char* log_pattern = "%x %X %l %v";
inline constexpr const char* unknown_severity = "Unknown severity string ";

// Reports of the automatic-differentiation library, one line each.
inline constexpr const char* known_source = "Error from a known source:";
inline constexpr const char* unknown_source = "Error from unknown source";
inline constexpr const char* false_result = "Error detected by false result for";
inline constexpr const char* at_line = "at line ";
inline constexpr const char* in_file = " in the file ";

// Matrix Market files.
inline constexpr const char* cannot_write_file = "cannot write the file ";

inline constexpr const char* prefix_with_zero_byte = "save_matrix: the prefix holds a zero byte";

}  // namespace tarvelo::messages
