#include <gtest/gtest.h>

#include <vector>

#include "core/linked.hpp"

namespace tarvelo {
namespace {

ADVector taped(const Eigen::VectorXd& values) {
  ADVector t(values.size());
  for (Eigen::Index i = 0; i < values.size(); ++i) t[i] = values[i];
  return t;
}

TEST(LinkedRecords, DeclarePacksStoredValuesRealPartFirstMatricesRowByRow) {
  Eigen::MatrixXcd m(2, 2);
  m << Complex(1, 2), Complex(3, 4), Complex(5, 6), Complex(7, 8);
  Eigen::VectorXcd v(2);
  v << Complex(9, 10), Complex(11, 12);
  const auto records = make_records(std::vector<Complex>{{13, 14}, {15, 16}}.data(), 2);

  std::vector<double> out{-1.0};  // declaring appends
  declare(LinkedComplex({0.5, -0.5}), out);
  declare(LinkedReal(2.5), out);
  declare(LinkedMatrix(m), out);
  declare(LinkedVector(v), out);
  declare(records, out);
  EXPECT_EQ(out, (std::vector<double>{-1, 0.5, -0.5, 2.5, 1,  2,  3,  4,  5,  6,
                                      7,  8,   9,    10,  11, 12, 13, 14, 15, 16}));
}

TEST(LinkedRecords, LinkAdvancesTheCursorAndReadsFollowTheSlots) {
  Eigen::VectorXd slots = Eigen::VectorXd::LinSpaced(16, 0.0, 15.0);
  const ADVector t = taped(slots);
  LinkedComplex c({7, 8});
  LinkedReal r(9.0);
  LinkedMatrix m(Eigen::MatrixXcd::Constant(2, 2, Complex(-1, -1)));
  auto records = make_zero_records(2);

  // Unlinked: plain reads give the stored value, taped reads the constant 0.
  EXPECT_EQ(read(c), Complex(7, 8));
  EXPECT_EQ(CppAD::Value(c.ad.real()), 0.0);
  EXPECT_EQ(CppAD::Value(r.ad), 0.0);
  EXPECT_EQ(m.ad.size(), 0);

  int k = 1;
  link(c, t, slots, k);
  EXPECT_EQ(k, 3);
  link(r, t, slots, k);
  EXPECT_EQ(k, 4);
  link(m, t, slots, k);
  EXPECT_EQ(k, 12);
  link(records, t, slots, k);
  EXPECT_EQ(k, 16);

  EXPECT_TRUE(c.is_linked && r.is_linked && m.is_linked && records[1].is_linked);
  EXPECT_EQ(read(c), Complex(1, 2));  // the slots, not the stored value
  EXPECT_EQ(c.value, Complex(7, 8));
  EXPECT_EQ(read(r), 3.0);
  EXPECT_EQ(CppAD::Value(r.ad), 3.0);
  EXPECT_EQ(read(m)(0, 1), Complex(6, 7));
  EXPECT_EQ(read(m)(1, 0), Complex(8, 9));
  EXPECT_EQ(CppAD::Value(m.ad(1, 0).imag()), 9.0);
  EXPECT_EQ(read(records[1]), Complex(14, 15));

  // A solver step writes the slot: readers see it at once, the stored value stays.
  slots[1] = 100.0;
  EXPECT_EQ(read(c), Complex(100, 2));
  EXPECT_EQ(c.value, Complex(7, 8));

  // An update writes both.
  update(c, {-3, -4});
  EXPECT_EQ(c.value, Complex(-3, -4));
  EXPECT_EQ(slots[1], -3.0);
  EXPECT_EQ(slots[2], -4.0);
  Eigen::MatrixXcd m2(2, 2);
  m2 << Complex(1, 1), Complex(2, 2), Complex(3, 3), Complex(4, 4);
  update(m, m2);
  EXPECT_EQ(slots[8], 3.0);  // entry (1, 0) sits at 2 (1 * 2 + 0) from the record's first slot
  EXPECT_EQ(read(m), m2);
  const Complex new_values[2] = {{5, 6}, {7, 8}};
  update(records, new_values);
  EXPECT_EQ(slots[14], 7.0);
  EXPECT_EQ(records[1].value, Complex(7, 8));
}

TEST(LinkedRecords, UnlinkForgetsOnlyTheSlotsOfTheVectorGoingAway) {
  Eigen::VectorXd first = Eigen::VectorXd::Constant(4, 1.0);
  Eigen::VectorXd second = Eigen::VectorXd::Constant(4, 2.0);
  LinkedComplex a({5, 5}), b({6, 6});
  LinkedMatrix m(Eigen::MatrixXcd::Constant(1, 1, Complex(7, 7)));
  int k = 0;
  link(a, taped(first), first, k);
  link(m, taped(first), first, k);
  k = 2;
  link(b, taped(second), second, k);  // b belongs to another vector

  const ADVector none;
  k = 0;
  link(a, none, first, k);
  link(m, none, first, k);
  EXPECT_EQ(k, 4);
  k = 2;
  link(b, none, first, k);

  EXPECT_FALSE(a.is_linked);
  EXPECT_EQ(a.linked, nullptr);
  EXPECT_EQ(read(a), Complex(5, 5));
  EXPECT_EQ(CppAD::Value(a.ad.real()), 0.0);
  EXPECT_FALSE(m.is_linked);
  EXPECT_EQ(read(m)(0, 0), Complex(7, 7));
  EXPECT_TRUE(b.is_linked);
  EXPECT_EQ(read(b), Complex(2, 2));

  // Updates after the unlink write the stored value only.
  update(a, {9, 9});
  EXPECT_EQ(read(a), Complex(9, 9));
  EXPECT_EQ(first[0], 1.0);
}

}  // namespace
}  // namespace tarvelo
