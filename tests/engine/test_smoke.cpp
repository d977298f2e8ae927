#include <gtest/gtest.h>
#include <numbers>
#include "elements/load.hpp"
#include "elements/source.hpp"
#include "elements/branch.hpp"
#include "solvers/solvers.hpp"
using namespace tarvelo;
TEST(Smoke, FourWire) {
  const double u = 230.0;
  Complex v[3];
  for (int i = 0; i < 3; ++i) v[i] = std::polar(u, -2.0 * std::numbers::pi * i / 3.0);
  VoltageSource src(4, v);
  PotentialRef ref;
  Switch sw(4);
  Complex pot[4] = {v[0], v[1], v[2], 0.0};
  Bus bus(4, pot);
  Complex s[3] = {{1000, 200}, {2000, 0}, {500, 100}};
  PowerLoad load(4, s);
  Complex sd[3] = {{800, 100}, {0, 0}, {300, 0}};
  DeltaPowerLoad dload(3, sd);
  src.connect(ref, {{3, 0}});
  sw.connect_side(src, {{0,0},{1,1},{2,2},{3,3}}, true);
  sw.connect_side(bus, {{0,0},{1,1},{2,2},{3,3}}, false);
  bus.connect(load, {{0,0},{1,1},{2,2},{3,3}});
  bus.connect(dload, {{0,0},{1,1},{2,2}});
  ElectricalNetwork net({&src, &ref, &sw, &bus, &load, &dload});
  Newton newton(&net, false);
  auto [it, res] = newton.solve_load_flow(20, 1e-9);
  std::cout << it << " " << res << "\n";
  EXPECT_LT(res, 1e-9);
  Complex out[4];
  load.get_potentials(4, out);
  for (int i = 0; i < 4; ++i) std::cout << out[i] << "\n";
  Complex i0 = load.get_port_current(0);
  std::cout << (out[0]-out[3]) * std::conj(i0) << "\n";
  NewtonGoldstein g(&net, true, 0.1, 0.9);
  auto [it2, res2] = g.solve_load_flow(20, 1e-9);
  std::cout << it2 << " " << res2 << "\n";
  BackwardForward bf(&net);
  auto [it3, res3] = bf.solve_load_flow(100, 1e-9);
  std::cout << it3 << " " << res3 << "\n";
  load.get_potentials(4, out);
  for (int i = 0; i < 4; ++i) std::cout << out[i] << "\n";
}
