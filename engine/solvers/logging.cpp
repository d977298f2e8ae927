#include "solvers/logging.hpp"

#include <array>
#include <stdexcept>
#include <utility>

#include <spdlog/spdlog.h>

#include "solvers/messages.hpp"

namespace tarvelo {

namespace {

constexpr std::array<std::pair<const char*, spdlog::level::level_enum>, 7> kSeverities{{
    {"trace", spdlog::level::trace},
    {"debug", spdlog::level::debug},
    {"info", spdlog::level::info},
    {"warning", spdlog::level::warn},
    {"error", spdlog::level::err},
    {"critical", spdlog::level::critical},
    {"off", spdlog::level::off},
}};

}  // namespace

void set_logging_config(const std::string& severity) {
  spdlog::set_pattern(messages::log_pattern, spdlog::pattern_time_type::local);
  for (const auto& [name, level] : kSeverities) {
    if (severity == name) {
      spdlog::set_level(level);
      return;
    }
  }
  throw std::runtime_error(std::string(messages::unknown_severity) + severity + ".");
}

void custom_handler(bool known, int line, const char* file, const char* exp, const char* msg) {
  std::string text = known ? messages::known_source : messages::unknown_source;
  text += '\n';
  if (msg != nullptr && msg[0] != '\0') {
    text += msg;
    text += '\n';
  }
  text += messages::false_result;
  text += "\n    ";
  text += exp != nullptr ? exp : "";
  text += '\n';
  text += messages::at_line + std::to_string(line) + messages::in_file + '\n';
  text += "    ";
  text += file != nullptr ? file : "";
  text += '\n';
  spdlog::error(text);
}

}  // namespace tarvelo
