#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "elements/load.hpp"
#include "elements/source.hpp"
#include "solvers/logging.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

// Sends the default logger's output to a string for the life of the object, then puts the
// logger's own sinks and level back.
class LogCapture {
 public:
  LogCapture()
      : sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_)),
        saved_sinks_(spdlog::default_logger()->sinks()),
        saved_level_(spdlog::default_logger()->level()) {
    spdlog::default_logger()->sinks() = {sink_};
    sink_->set_pattern("%l|%v");
  }
  ~LogCapture() {
    spdlog::default_logger()->sinks() = saved_sinks_;
    spdlog::set_level(saved_level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  spdlog::sinks::ostream_sink_mt& sink() { return *sink_; }
  // Everything written since the last call.
  std::string take() {
    std::string text = stream_.str();
    stream_.str("");
    return text;
  }

 private:
  std::ostringstream stream_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
  std::vector<spdlog::sink_ptr> saved_sinks_;
  spdlog::level::level_enum saved_level_;
};

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Logging, SeverityNamesSetTheLevelAndOthersAreRefused) {
  LogCapture capture;
  const std::pair<const char*, spdlog::level::level_enum> names[] = {
      {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},
      {"info", spdlog::level::info},   {"warning", spdlog::level::warn},
      {"error", spdlog::level::err},   {"critical", spdlog::level::critical},
      {"off", spdlog::level::off}};
  for (const auto& [name, level] : names) {
    set_logging_config(name);
    EXPECT_EQ(spdlog::default_logger()->level(), level) << name;
  }

  spdlog::set_level(spdlog::level::info);
  capture.sink().set_pattern("not the configured pattern %v");
  for (const char* refused : {"warn", "err", "Info"}) {
    try {
      set_logging_config(refused);
      ADD_FAILURE() << refused << " accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "Unknown severity string " + std::string(refused) + ".");
    }
  }
  EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::info);
  // The pattern was set all the same: date, time, level name, message.
  spdlog::error("hello");
  const std::regex line(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d error hello\r?\n)");
  EXPECT_TRUE(std::regex_match(capture.take(), line));
}

TEST(Logging, ErrorHandlerReportsInFiveOrSixLines) {
  LogCapture capture;
  set_logging_config("error");
  capture.sink().set_pattern("%l|%v");
  custom_handler(true, 42, "tape.hpp", "x > 0", "");
  EXPECT_EQ(capture.take(),
            "error|Error from a known source:\n"
            "Error detected by false result for\n"
            "    x > 0\n"
            "at line 42 in the file \n"
            "    tape.hpp\n\n");
  custom_handler(false, 7, "f.hpp", "ok", "the reason");
  EXPECT_EQ(capture.take(),
            "error|Error from unknown source\n"
            "the reason\n"
            "Error detected by false result for\n"
            "    ok\n"
            "at line 7 in the file \n"
            "    f.hpp\n\n");
  set_logging_config("off");
  custom_handler(true, 1, "a", "b", "c");
  EXPECT_EQ(capture.take(), "");
}

//   Bus ── VoltageSource ── PowerLoad      neutral on a PotentialRef: 4 unknowns
TEST(Logging, NewtonSolversLogTheirTapeAndSparsityAtDebugLevel) {
  const Complex u(230, 0), s(1000, 100), start[2] = {{200, 10}, {0, 0}};
  Bus bus(2, start);
  VoltageSource source(2, &u);
  PotentialRef ref;
  PowerLoad load(2, &s);
  bus.connect(source, {{0, 0}, {1, 1}});
  bus.connect(load, {{0, 0}, {1, 1}});
  bus.connect(ref, {{1, 0}});
  ElectricalNetwork network({&bus, &source, &ref, &load});

  LogCapture capture;
  set_logging_config("info");
  { Newton quiet(&network, true); }
  EXPECT_EQ(capture.take(), "");

  set_logging_config("debug");
  capture.sink().set_pattern("%l|%v");
  { Newton plain(&network, false); }
  const std::string plain_log = capture.take();
  EXPECT_TRUE(
      std::regex_match(plain_log, std::regex("debug\\|----- Tape evaluation -----\n"
                                             "debug\\|Number of tape operators: [1-9][0-9]*\n")))
      << plain_log;

  Newton optimised(&network, true);
  const std::string optimised_log = capture.take();
  EXPECT_EQ(count(optimised_log, "----- Tape evaluation -----"), 1);
  EXPECT_EQ(count(optimised_log, "debug|----- Tape optimization -----\n"), 1);
  EXPECT_EQ(count(optimised_log, "Number of tape operators: "), 2);

  // Before the first iteration every Jacobian analyses the pattern again; afterwards never.
  optimised.compute_jacobian();
  optimised.compute_jacobian();
  const std::string pattern_log = capture.take();
  EXPECT_EQ(count(pattern_log, "debug|----- Sparse pattern initialisation -----\n"), 2);
  EXPECT_EQ(count(pattern_log, "debug|n: 4 nnz: "), 2);
  ASSERT_GE(optimised.solve_load_flow(10, 1e-9).first, 1);
  capture.take();
  optimised.compute_jacobian();
  EXPECT_EQ(capture.take(), "");
}

}  // namespace
}  // namespace tarvelo
