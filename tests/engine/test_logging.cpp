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
class LogCapture {
 public:
  LogCapture() {
    spdlog::set_default_logger(std::make_shared<spdlog::logger>(
        "", std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_)));
  }
  ~LogCapture() { spdlog::set_default_logger(saved_); }

  // Sets the severity, then "level|message" lines over the configured pattern.
  void configure(const char* severity) {
    set_logging_config(severity);
    spdlog::default_logger()->set_pattern("%l|%v");
  }
  // Everything written since the last call.
  std::string take() {
    std::string text = stream_.str();
    stream_.str("");
    return text;
  }

 private:
  std::ostringstream stream_;
  std::shared_ptr<spdlog::logger> saved_ = spdlog::default_logger();
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

TEST(Logging, NewtonSolversLogTheirTapeAndPatternAtDebugLevel) {
  checks::FourWire net;
  LogCapture capture;
  capture.configure("info");
  {
    Newton quiet(&net.network, true);
  }
  EXPECT_EQ(capture.take(), "");

  capture.configure("debug");
  const std::string tape =
      R"(debug\|----- Tape evaluation -----\ndebug\|Number of tape operators: \d+\n)";
  {
    Newton plain(&net.network, false);
  }
  EXPECT_TRUE(std::regex_match(capture.take(), std::regex(tape)));
  Newton optimised(&net.network, true);
  EXPECT_TRUE(std::regex_match(capture.take(),
                               std::regex(tape + R"(debug\|----- Tape optimization -----\n)" +
                                          R"(debug\|Number of tape operators: \d+\n)")));
  // The pattern is analysed at every Jacobian until the first iteration, then never again.
  optimised.compute_jacobian();
  EXPECT_TRUE(std::regex_match(capture.take(),
                               std::regex(R"(debug\|----- Sparse pattern initialisation -----\n)"
                                          R"(debug\|n: 28 nnz: \d+\n)")));
  ASSERT_GE(optimised.solve_load_flow(10, 1e-9).first, 1);
  capture.take();
  optimised.compute_jacobian();
  EXPECT_EQ(capture.take(), "");
}

}  // namespace
}  // namespace tarvelo
