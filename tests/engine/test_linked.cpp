// Linked records: packing, linking, reads, updates and the unlink.
#include "core/linked.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tarvelo {
namespace {

TEST(LinkedRecords, DeclarePacksRealPartFirstAndMatricesRowByRow) {
  Eigen::MatrixXcd m(2, 2);
  m << Complex(1, 2), Complex(3, 4), Complex(5, 6), Complex(7, 8);
  const Eigen::VectorXcd v = Eigen::VectorXcd::Constant(1, Complex(9, 10));
  std::vector<double> out{-1.0};  // declaring appends
  declare(LinkedReal(0.5), out);
  declare(LinkedMatrix(m), out);
  declare(LinkedVector(v), out);
  declare(make_records(std::vector<Complex>{{11, 12}}.data(), 1), out);
  EXPECT_EQ(out, (std::vector<double>{-1, 0.5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST(LinkedRecords, ReadsFollowTheSlotsUntilTheirOwnVectorUnlinksThem) {
  Eigen::VectorXd slots = Eigen::VectorXd::LinSpaced(12, 0.0, 11.0);
  LinkedComplex c({7, 8});
  LinkedReal r(9.0);
  LinkedMatrix m(Eigen::MatrixXcd::Constant(2, 2, Complex(-1, -1)));
  EXPECT_EQ(CppAD::Value(c.ad.imag()), 0.0);  // the taped value is 0 until linked
  const ADVector taped = slots.cast<AD>();
  int k = 1;
  link(c, taped, slots, k);
  link(r, taped, slots, k);
  link(m, taped, slots, k);
  EXPECT_EQ(k, 12);
  EXPECT_EQ(read(c), Complex(1, 2));
  EXPECT_EQ(read(r), 3.0);
  EXPECT_EQ(read(m)(1, 0), Complex(8, 9));
  EXPECT_EQ(CppAD::Value(m.ad(1, 0).imag()), 9.0);

  // An update writes the stored value and the slots.
  update(c, {-3, -4});
  EXPECT_EQ(slots[2], -4.0);
  const Eigen::MatrixXcd m2 = Eigen::MatrixXcd::Constant(2, 2, Complex(5, 6)) * Complex(0, 1);
  update(m, m2);
  EXPECT_EQ(slots[8], -6.0);

  // Unlinking with another solver's vector leaves the records alone; with their own, they go
  // back to their stored values.
  Eigen::VectorXd other = slots;
  for (Eigen::VectorXd* vector : {&other, &slots}) {
    k = 1;
    link(c, ADVector(), *vector, k);
    link(r, ADVector(), *vector, k);
    link(m, ADVector(), *vector, k);
    EXPECT_EQ(k, 12);
    for (bool linked : {c.is_linked, r.is_linked, m.is_linked}) EXPECT_EQ(linked, vector == &other);
  }
  EXPECT_EQ(read(c), Complex(-3, -4));
  EXPECT_EQ(read(r), 9.0);
  EXPECT_EQ(read(m), m2);
  EXPECT_EQ(CppAD::Value(c.ad.real()), 0.0);
}

}  // namespace
}  // namespace tarvelo
