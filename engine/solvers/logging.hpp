// The process-wide log configuration and the automatic-differentiation error handler.
#pragma once

#include <string>

namespace tarvelo {

// Sets the line pattern and the severity of every logger; throws for an unknown severity name.
void set_logging_config(const std::string& severity);

// Logs a report of the automatic-differentiation library at error level and returns.
void custom_handler(bool known, int line, const char* file, const char* exp, const char* msg);

}  // namespace tarvelo
