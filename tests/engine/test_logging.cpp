// The log configuration, the automatic-differentiation error handler and the solvers' log lines.
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
  // Sets the severity, then "level|message" lines over the configured pattern.
  void configure(const char* severity) {
    set_logging_config(severity);
    spdlog::default_logger()->set_pattern("%l|%v");
  }
  // Everything written since the last call.
  std::string take() {
    const std::string text = stream.str();
    stream.str("");
    return text;
  }
};

TEST(Logging, SeverityNamesAndTheErrorHandlersReports) {
  LogCapture capture;
  const char* names[] = {"trace", "debug", "info", "warning", "error", "critical", "off"};
  for (int level = 0; level < 7; ++level) {  // the levels in order of severity
    set_logging_config(names[level]);
    EXPECT_EQ(static_cast<int>(spdlog::default_logger()->level()), level) << names[level];
  }
  capture.configure("info");
  for (const std::string refused : {"warn", "err", "Info"}) {
    checks::expect_throw_text<std::runtime_error>([&] { set_logging_config(refused); },
                                                  "Unknown severity string " + refused + ".");
  }
  EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::info);
  // The pattern was set all the same: date, time, level name, message.
  spdlog::error("hello");
  EXPECT_TRUE(std::regex_match(capture.take(),
                               std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d error hello\r?\n)")));

  // The error handler's reports: five lines, six with a message; none when off.
  capture.configure("error");
  custom_handler(true, 42, "tape.hpp", "x > 0", "");
  EXPECT_EQ(capture.take(),
            "error|Error from a known source:\nError detected by false result for\n    x > 0\n"
            "at line 42 in the file \n    tape.hpp\n\n");
  custom_handler(false, 7, "f.hpp", "ok", "the reason");
  EXPECT_EQ(capture.take(),
            "error|Error from unknown source\nthe reason\nError detected by false result for\n"
            "    ok\nat line 7 in the file \n    f.hpp\n\n");
  capture.configure("off");
  custom_handler(true, 1, "a", "b", "c");
  EXPECT_EQ(capture.take(), "");
}

// The tape's lines are the Python tests' to check; the pattern's are analysed at every Jacobian
// until the first iteration, then never again.
TEST(Logging, TheJacobianPatternIsLoggedUntilTheFirstIteration) {
  checks::FourWire net;
  Newton newton(&net.network, true);
  LogCapture capture;
  capture.configure("info");
  newton.compute_jacobian();
  EXPECT_EQ(capture.take(), "");
  capture.configure("debug");
  const std::regex pattern(
      R"(debug\|----- Sparse pattern initialisation -----\ndebug\|n: 28 nnz: \d+\n)");
  for (int i = 0; i < 2; ++i) {
    newton.compute_jacobian();
    EXPECT_TRUE(std::regex_match(capture.take(), pattern));
  }
  ASSERT_GE(newton.solve_load_flow(10, 1e-9).first, 1);
  capture.take();
  newton.compute_jacobian();
  EXPECT_EQ(capture.take(), "");
}

}  // namespace
}  // namespace tarvelo
