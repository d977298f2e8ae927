// Jacobian diagnostics of the Newton solvers: residuals, Jacobians, Matrix Market files and the
// elements behind empty columns and non-finite rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ios>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"
#include "network_checks.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

using Pairs = std::vector<std::pair<int, int>>;
const Pairs kFourWire{{0, 0}, {1, 1}, {2, 2}, {3, 3}};

// A loaded shunt line; b1 starts at the source's voltages, or at 0 V when `dead_far_end`.
//
//   src ── b0 ═══ line ═══ b1 ── load        lonely (a bus joined to nothing, listed last)
//    │n            │g
//   ref          gnd ── ref_g
struct LoadedLine {
  std::array<Complex, 3> u = checks::balanced_voltages(230.0);
  std::array<Complex, 4> start{u[0], u[1], u[2], Complex(0.0, 0.0)};
  std::array<Complex, 3> powers{Complex(6e3, 1e3), Complex(4e3, 2e3), Complex(5e3, -5e2)};
  std::vector<Complex> z, y;
  VoltageSource src{4, u.data()};
  PotentialRef ref, ref_g;
  Ground gnd;
  Bus b0{4, start.data()};
  Bus b1;
  ShuntLine line;
  PowerLoad load{4, powers.data()};
  Bus lonely{1};

  explicit LoadedLine(bool dead_far_end = false)
      : z(impedance()),
        y(shunt()),
        b1(4, dead_far_end ? std::array<Complex, 4>{}.data() : start.data()),
        line(4, y.data(), z.data()) {
    b0.connect(src, kFourWire);
    b0.connect(ref, {{3, 0}});
    line.connect_side(b0, kFourWire, true);
    line.connect_side(b1, kFourWire, false);
    b1.connect(load, kFourWire);
    gnd.connect(line, {{0, 8}});
    gnd.connect(ref_g, {{0, 0}});
  }

  std::vector<Element*> elements() { return {&src, &ref, &b0, &line, &b1, &load, &gnd, &ref_g}; }

  static std::vector<Complex> impedance() {
    const Complex s(0.08, 0.05), m(0.02, 0.03);
    return {s, m, m, m, m, s, m, m, m, m, s, m, m, m, m, s};
  }
  static std::vector<Complex> shunt() {
    const Complex s(0.0, 1e-3), m(0.0, -2e-4);
    return {s, m, m, m, m, s, m, m, m, m, s, m, m, m, m, s};
  }
};

double largest_magnitude(const std::vector<double>& v) {
  double largest = 0.0;
  for (const double x : v) largest = std::max(largest, std::abs(x));
  return largest;
}

std::vector<double> residuals_of(AbstractNewton& solver) {
  std::vector<double> out(static_cast<std::size_t>(solver.independents_size()));
  solver.get_residuals(out.data());
  return out;
}

std::vector<double> jacobian_of(AbstractNewton& solver) {
  const auto n = static_cast<std::size_t>(solver.independents_size());
  std::vector<double> out(n * n);
  solver.get_jacobian(out.data());
  return out;
}

std::vector<std::string> lines_of(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A fresh folder for the files of one test, removed with everything in it afterwards.
struct ScratchFolder {
  std::string path;
  ScratchFolder() {
    std::string pattern = ::testing::TempDir() + "tarvelo-diagnostics-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no scratch folder");
    path = pattern;
  }
  ~ScratchFolder() { std::filesystem::remove_all(path); }
};

TEST(Diagnostics, ResidualsAndJacobianAtTheSolvedPoint) {
  LoadedLine net;
  ElectricalNetwork network(net.elements());
  Newton newton(&network, false);
  const auto [iterations, residual] = newton.solve_load_flow(20, 1e-9);
  ASSERT_LE(residual, 1e-9);
  ASSERT_GT(iterations, 1);

  EXPECT_EQ(largest_magnitude(residuals_of(newton)), residual);

  // Row-major, row = residual, column = unknown, at the final point.
  const auto dense = jacobian_of(newton);
  const Eigen::MatrixXd sparse = Eigen::MatrixXd(newton.compute_jacobian());
  const auto n = static_cast<std::size_t>(newton.independents_size());
  ASSERT_EQ(static_cast<std::size_t>(sparse.rows()), n);
  bool asymmetric = false;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const double expected = sparse(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j));
      EXPECT_NEAR(dense[i * n + j], expected, 1e-9 * (1.0 + std::abs(expected)));
      asymmetric = asymmetric || std::abs(dense[i * n + j] - dense[j * n + i]) > 1e-6;
    }
  }
  EXPECT_TRUE(asymmetric);  // so that a transposed copy would be caught
}

TEST(Diagnostics, SaveMatrixWritesMatrixMarketFiles) {
  LoadedLine net;
  ElectricalNetwork network(net.elements());
  Newton newton(&network, false);
  newton.solve_load_flow(1, 1e-9);  // one step: residuals far from zero
  const ScratchFolder folder;
  const std::string prefix = folder.path + "/system";
  newton.save_matrix(prefix);

  const auto n = static_cast<std::size_t>(newton.independents_size());
  const auto dense = jacobian_of(newton);
  const auto residuals = residuals_of(newton);
  const std::regex number(R"(-?\d\.\d{17}e[+-]\d{2,3})");
  const std::regex entry(R"((\d+) (\d+) (-?\d\.\d{17}e[+-]\d{2,3}))");

  // The Jacobian, column by column, 1-based, every pattern entry listed.
  const auto matrix_lines = lines_of(prefix + ".mtx");
  ASSERT_GE(matrix_lines.size(), 2u);
  EXPECT_EQ(matrix_lines[0], "%%MatrixMarket matrix coordinate  real general");
  const auto stored = static_cast<std::size_t>(newton.compute_jacobian().nonZeros());
  EXPECT_EQ(matrix_lines[1],
            std::to_string(n) + " " + std::to_string(n) + " " + std::to_string(stored));
  ASSERT_EQ(matrix_lines.size(), 2 + stored);
  std::vector<double> read_back(n * n, 0.0);
  std::size_t last_column = 0;
  for (std::size_t k = 2; k < matrix_lines.size(); ++k) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(matrix_lines[k], m, entry)) << matrix_lines[k];
    const std::size_t row = std::stoul(m[1]) - 1, col = std::stoul(m[2]) - 1;
    ASSERT_LT(row, n);
    ASSERT_LT(col, n);
    EXPECT_GE(col, last_column);
    last_column = col;
    read_back[row * n + col] = std::strtod(m[3].str().c_str(), nullptr);
  }
  for (std::size_t k = 0; k < n * n; ++k) {
    EXPECT_NEAR(read_back[k], dense[k], 1e-9 * (1.0 + std::abs(dense[k]))) << "entry " << k;
  }

  // The residual vector, one value a line, exact to the last bit.
  const auto vector_lines = lines_of(prefix + "_b.mtx");
  ASSERT_EQ(vector_lines.size(), 2 + n);
  EXPECT_EQ(vector_lines[0], "%%MatrixMarket matrix array real general");
  EXPECT_EQ(vector_lines[1], std::to_string(n) + " 1");
  for (std::size_t k = 0; k < n; ++k) {
    ASSERT_TRUE(std::regex_match(vector_lines[2 + k], number)) << vector_lines[2 + k];
    EXPECT_EQ(std::strtod(vector_lines[2 + k].c_str(), nullptr), residuals[k]);
  }
  EXPECT_GT(largest_magnitude(residuals), 1e-3);

  // A file that cannot be created is an error naming it.
  const std::string unwritable = prefix + "-missing/folder/system";
  try {
    newton.save_matrix(unwritable);
    FAIL();
  } catch (const std::ios_base::failure& e) {
    EXPECT_NE(std::string(e.what()).find(unwritable + ".mtx"), std::string::npos) << e.what();
  }
}

TEST(Diagnostics, AnalyseJacobianNamesTheElementsBehindTheFault) {
  // A bus joined to nothing: no residual depends on its potential.
  LoadedLine net;
  auto elements = net.elements();
  elements.push_back(&net.lonely);
  ElectricalNetwork network(elements);
  Newton newton(&network, false);
  const auto [empty_columns, non_finite_rows] = newton.analyse_jacobian();
  EXPECT_EQ(empty_columns, std::vector<int>{static_cast<int>(elements.size()) - 1});
  EXPECT_TRUE(non_finite_rows.empty());

  // A power load starting at 0 V: its currents, and so its nodes' rows, are not finite.
  LoadedLine failing(true);
  ElectricalNetwork failing_network(failing.elements());
  Newton failing_newton(&failing_network, false);
  try {
    failing_newton.solve_load_flow(10, 1e-9);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "1 NaN value encountered at iteration 0. ");
  }
  const auto [columns, rows] = failing_newton.analyse_jacobian();
  EXPECT_TRUE(columns.empty());
  EXPECT_EQ(rows, std::vector<int>{5});  // the load
  const auto residuals = residuals_of(failing_newton);
  EXPECT_TRUE(
      std::any_of(residuals.begin(), residuals.end(), [](double r) { return !std::isfinite(r); }));
}

}  // namespace
}  // namespace tarvelo
