// What the C++ profiles share: their clock, and the feeder they solve, of the kind
// bench/feeders.py builds: a 400 V source with its neutral held at zero, a random tree of buses
// joined by 5 to 20 m of four-wire cable (SimplifiedLine, full 4 x 4 impedance matrix), an
// unbalanced star power load on a share of the buses, 150 kW in all.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"

namespace tarvelo::bench {

using Pairs = std::vector<std::pair<int, int>>;
inline const Pairs kFourWires{{0, 0}, {1, 1}, {2, 2}, {3, 3}};
constexpr double kPhaseVoltage = 230.0;
constexpr double kTotalLoad = 150e3;                           // W
inline const Complex kSelf(0.206, 0.08), kMutual(0.03, 0.05);  // ohm per km

struct Feeder {
  std::vector<std::unique_ptr<Element>> owned;
  std::vector<PowerLoad*> loads;
  std::vector<SimplifiedLine*> lines;
  std::vector<Bus*> buses;
  std::mt19937_64 rng{1};

  template <class T, class... Args>
  T* add(Args&&... args) {
    owned.push_back(std::make_unique<T>(std::forward<Args>(args)...));
    return static_cast<T*>(owned.back().get());
  }

  std::vector<Element*> elements() const {
    std::vector<Element*> list;
    for (const auto& e : owned) list.push_back(e.get());
    return list;
  }

  double uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(rng);
  }

  std::array<Complex, 3> random_powers(double mean_phase_power) {
    std::array<Complex, 3> s;
    for (Complex& p : s) p = std::polar(mean_phase_power * uniform(0.5, 1.5), uniform(0.0, 0.3));
    return s;
  }
};

inline std::unique_ptr<Feeder> build_feeder(int n_buses, double load_share) {
  auto f = std::make_unique<Feeder>();
  std::array<Complex, 3> u;
  for (int k = 0; k < 3; ++k) u[k] = std::polar(kPhaseVoltage, -2.0 * std::numbers::pi * k / 3.0);
  const std::array<Complex, 4> start{u[0], u[1], u[2], Complex(0.0, 0.0)};
  const double mean_phase_power = kTotalLoad / (3.0 * load_share * std::max(n_buses - 1, 1));

  auto* source = f->add<VoltageSource>(4, u.data());
  source->connect(*f->add<PotentialRef>(), {{3, 0}});
  f->buses.push_back(f->add<Bus>(4, start.data()));
  f->buses[0]->connect(*source, kFourWires);
  for (int i = 1; i < n_buses; ++i) {
    const double length = f->uniform(0.005, 0.02);
    std::array<Complex, 16> z;
    for (int k = 0; k < 16; ++k) z[k] = (k % 5 == 0 ? kSelf : kMutual) * length;
    Bus* parent = f->buses[std::uniform_int_distribution<int>(0, i - 1)(f->rng)];
    auto* line = f->add<SimplifiedLine>(4, z.data());
    auto* bus = f->add<Bus>(4, start.data());
    line->connect_side(*parent, kFourWires, true);
    line->connect_side(*bus, kFourWires, false);
    f->buses.push_back(bus);
    f->lines.push_back(line);
    if (f->uniform(0.0, 1.0) < load_share) {
      const auto s = f->random_powers(mean_phase_power);
      auto* load = f->add<PowerLoad>(4, s.data());
      bus->connect(*load, kFourWires);
      f->loads.push_back(load);
    }
  }
  return f;
}

// Whether the profiles time with the thread's processor time rather than the wall clock: on a
// machine shared with other jobs the time spent waiting for a processor then stays out of the
// figures (the profiles run on one thread).
inline bool cpu_clock = false;

inline double now_ms() {
  if (!cpu_clock) {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return 1e3 * static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_nsec);
}

// Median time of `repeats` calls, in milliseconds.
template <class Call>
double median_ms(int repeats, Call&& call) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const double start = now_ms();
    call();
    times.push_back(now_ms() - start);
  }
  std::nth_element(times.begin(), times.begin() + repeats / 2, times.end());
  return times[repeats / 2];
}

}  // namespace tarvelo::bench
