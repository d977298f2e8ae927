// The automatic-differentiation error handler's reports and the Jacobian pattern's log lines.
// (The severity names, the refusals and the tape's lines are the Python tests' to check.)
#include "solvers/logging.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "network_checks.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

// Sends the default logger's output to a string while it lives, then puts the logger back.
struct LogCapture {
  std::ostringstream stream;
  std::shared_ptr<spdlog::logger> saved = spdlog::default_logger();
  LogCapture() {
    spdlog::set_default_logger(std::make_shared<spdlog::logger>(
        "", std::make_shared<spdlog::sinks::ostream_sink_mt>(stream)));
  }
  ~LogCapture() { spdlog::set_default_logger(saved); }
  // Sets the severity and "level|message" lines, then takes what was written since the last call.
  std::string take(const char* severity = nullptr) {
    if (severity != nullptr) {
      set_logging_config(severity);
      spdlog::default_logger()->set_pattern("%l|%v");
    }
    const std::string text = stream.str();
    stream.str("");
    return text;
  }
};

TEST(Logging, TheErrorHandlersReportsAndTheJacobianPattern) {
  LogCapture capture;
  // The error handler's reports: five lines, six with a message; none when off.
  capture.take("error");
  custom_handler(true, 42, "tape.hpp", "x > 0", "");
  EXPECT_EQ(capture.take(),
            "error|Error from a known source:\nError detected by false result for\n    x > 0\n"
            "at line 42 in the file \n    tape.hpp\n\n");
  custom_handler(false, 7, "f.hpp", "ok", "the reason");
  EXPECT_EQ(capture.take(),
            "error|Error from unknown source\nthe reason\nError detected by false result for\n"
            "    ok\nat line 7 in the file \n    f.hpp\n\n");
  capture.take("off");
  custom_handler(true, 1, "a", "b", "c");
  EXPECT_EQ(capture.take(), "");

  // The Jacobian's pattern is analysed, and logged, at every Jacobian until the first iteration,
  // then never again. (The tape's lines are the Python tests' to check.)
  checks::Feeder feeder;
  Newton newton(feeder.network.get(), true);
  capture.take("debug");
  const std::regex pattern(
      R"(debug\|----- Sparse pattern initialisation -----\ndebug\|n: \d+ nnz: \d+\n)");
  newton.compute_jacobian();
  EXPECT_TRUE(std::regex_match(capture.take(), pattern));
  ASSERT_GE(newton.solve_load_flow(10, 1e-9).first, 1);
  capture.take();
  newton.compute_jacobian();
  EXPECT_EQ(capture.take(), "");
}

}  // namespace
}  // namespace tarvelo
