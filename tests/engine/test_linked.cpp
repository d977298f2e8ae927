// Linked records: reads through the slots, updates, the unlink and the cursor check.
#include "core/linked.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace tarvelo {
namespace {

TEST(LinkedRecords, ReadsFollowTheSlotsUntilTheirOwnVectorUnlinksThem) {
  Eigen::VectorXd slots = Eigen::VectorXd::LinSpaced(12, 0.0, 11.0);
  LinkedReal r(9.0);
  LinkedMatrix m(Eigen::MatrixXcd::Constant(2, 2, Complex(-1, -1)));
  LinkedVector v(Eigen::VectorXcd::Constant(1, Complex(-2, -2)));
  const ADVector taped = slots.cast<AD>();
  int k = 1;
  link(r, taped, slots, k);
  link(m, taped, slots, k);
  link(v, taped, slots, k);
  EXPECT_EQ(k, 12);
  EXPECT_EQ(read(r), 1.0);
  EXPECT_EQ(read(m)(1, 0), Complex(6, 7));  // row by row
  EXPECT_EQ(read(v)(0), Complex(10, 11));
  update(m, Eigen::MatrixXcd::Constant(2, 2, Complex(5, 6)));
  EXPECT_EQ(slots[9], 6.0);
  // Unlinking with another solver's vector leaves the records alone; with their own, they go
  // back to their stored values.
  Eigen::VectorXd other = slots;
  for (Eigen::VectorXd* vector : {&other, &slots}) {
    k = 1;
    link(r, ADVector(), *vector, k);
    link(m, ADVector(), *vector, k);
    link(v, ADVector(), *vector, k);
    for (bool linked : {r.is_linked, m.is_linked, v.is_linked}) EXPECT_EQ(linked, vector == &other);
  }
  EXPECT_EQ(read(r), 9.0);
  EXPECT_EQ(read(m)(0, 1), Complex(5, 6));
  EXPECT_EQ(read(v)(0), Complex(-2, -2));
  // Slots beyond either vector are refused.
  k = 12;
  EXPECT_THROW(link(r, taped, slots, k), std::out_of_range);
  k = 4;
  EXPECT_THROW(link(m, ADVector(taped.head(11)), slots, k), std::out_of_range);
}

}  // namespace
}  // namespace tarvelo
