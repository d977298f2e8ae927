// Transformers and the single-phase voltage regulator.
//
// Every model couples side 1 (high voltage) and side 2 (low voltage) through ideal windings of
// ratio k, a series impedance z2 on side 2 and a magnetising admittance ym on side 1; z2, ym and
// k are changeable parameters. With y2 = 1 / z2:
//
// SingleTransformer (ports 0, 1 | 2, 3), U1 = V0 - V1, U2 = V2 - V3:
//     I2 = y2 (U2 - k U1),   I1 = ym U1 - conj(k) I2;   side 1 carries (I1, -I1), side 2 (I2, -I2).
// CenterTransformer (ports 0, 1 | a, b, centre), h = Re(k) / 2, zh = z2 / 2:
//     I2a = (Va - (Vc + h U1)) / zh,   I2b = (Vb - (Vc - h U1)) / zh,
//     I1 = ym U1 - h (I2a - I2b);      side 2 carries (I2a, I2b, -I2a - I2b).
// ThreePhaseTransformer, kr = Re(k), fixed real matrices chosen by the windings and the clock:
//     U1 = hv_winding V1,   U2 = lv_winding V2,
//     J  = polarity y2 (U2 - kr voltage_coupling U1)             (low-voltage winding currents)
//     X  = hv_current_map (ym U1 + kr current_coupling J)         (high-voltage phase ports)
//     Y  = lv_current_map J                                        (low-voltage phase ports)
//   a neutral port takes minus the sum of its side's phase currents.
// SingleVoltageRegulator: the single-phase equations with k = tap e^(j phi), where
//     tap = 1 + u_range tanh(alpha (u_ref - |U2|) / u_ref)
//   follows the side-2 winding voltage; its neutral ports 1 and 3 share one node.
//
// With ym = 0 the complex power entering through all ports is the power taken by the series
// impedances: z2 |I2|^2, zh (|I2a|^2 + |I2b|^2), z2 sum |J|^2.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "elements/branch.hpp"

namespace tarvelo {

class TransformerBase : public Branch {
 public:
  LinkedComplex z2;  // series impedance, referred to side 2
  LinkedComplex ym;  // magnetising admittance, seen from side 1
  LinkedComplex k;   // ratio: side-2 over side-1 winding voltage at no load

  TransformerBase(int n1, int n2, const Complex& z2, const Complex& ym, Complex k);

  void declare_dynamic_variables(std::vector<double>& p) const override;
  void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& cursor) override;
  void update_transformer_parameters(const Complex& new_z2, const Complex& new_ym, Complex new_k);

 protected:
  // Writes one potential per port (side 1, then side 2) into the ports' nodes.
  void write_test_potentials(const std::vector<Complex>& potentials);
  // Active power entering through side 1.
  double side1_power() const;
};

// The open-circuit and short-circuit tests, shared by the transformer models. T supplies
// `open_circuit_potentials(uhv, ulv)`, `short_circuit_potentials(vsc, uhv)` (one potential per
// port), `rated_current(uhv, sn)` of side 1 and `short_circuit_impedance()`.
template <class T>
class Transformer : public TransformerBase {
 public:
  using TransformerBase::TransformerBase;

  // (no-load losses in W, no-load current per unit of the rated side-1 current)
  virtual std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv,
                                                                    double sn) {
    write_test_potentials(self().open_circuit_potentials(uhv, ulv));
    eval_currents(false);
    return {side1_power(), std::abs(ports1[0]->current) / self().rated_current(uhv, sn)};
  }

  // (short-circuit losses in W, short-circuit voltage per unit)
  virtual std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv,
                                                                     double sn) {
    const double vsc = self().short_circuit_impedance() * sn / (ulv * ulv);
    write_test_potentials(self().short_circuit_potentials(vsc, uhv));
    eval_currents(false);
    return {side1_power(), vsc};
  }

 private:
  const T& self() const { return static_cast<const T&>(*this); }
};

class SingleTransformer : public Transformer<SingleTransformer> {
 public:
  SingleTransformer(const Complex& z2, const Complex& ym, Complex k);

  void eval_currents(bool taped) override;
  void backward() override;
  double forward() override;

 private:
  friend class Transformer<SingleTransformer>;

  template <class S>
  void compute_currents();

  std::vector<Complex> open_circuit_potentials(double uhv, double ulv) const;
  std::vector<Complex> short_circuit_potentials(double vsc, double uhv) const;
  double rated_current(double uhv, double sn) const { return sn / uhv; }
  double short_circuit_impedance() const;
};

class CenterTransformer : public Transformer<CenterTransformer> {
 public:
  CenterTransformer(const Complex& z2, const Complex& ym, double k);

  void eval_currents(bool taped) override;
  void backward() override;

 private:
  friend class Transformer<CenterTransformer>;

  template <class S>
  void compute_currents();

  std::vector<Complex> open_circuit_potentials(double uhv, double ulv) const;
  std::vector<Complex> short_circuit_potentials(double vsc, double uhv) const;
  double rated_current(double uhv, double sn) const { return sn / uhv; }
  double short_circuit_impedance() const;
};

class ThreePhaseTransformer : public Transformer<ThreePhaseTransformer> {
 public:
  Eigen::Matrix3d hv_current_map;
  Eigen::MatrixXd hv_winding;  // 3 x n1
  Eigen::Matrix3d lv_current_map;
  Eigen::Matrix3d voltage_coupling;
  Eigen::MatrixXd lv_winding;  // 3 x n2
  Eigen::Matrix3d current_coupling;
  double polarity;
  int clock;
  std::string whv;
  std::string wlv;

  // whv is "Y" (4 ports) or "D" (3 ports); wlv is "y" or "z" (4 ports) or "d" (3 ports).
  ThreePhaseTransformer(int n1, int n2, const std::string& whv, const std::string& wlv,
                        const Complex& z2, const Complex& ym, double k, int clock);

  void eval_currents(bool taped) override;
  void backward() override;

 private:
  friend class Transformer<ThreePhaseTransformer>;

  template <class S>
  void compute_currents();

  void build_hv_matrices();
  void build_lv_matrices();

  std::vector<Complex> open_circuit_potentials(double uhv, double ulv) const;
  std::vector<Complex> short_circuit_potentials(double vsc, double uhv) const;
  double rated_current(double uhv, double sn) const;
  double short_circuit_impedance() const;
};

class SingleVoltageRegulator : public Branch {
 public:
  LinkedComplex z2;
  LinkedComplex ym;
  LinkedReal u_ref;
  double u_range;
  double alpha;
  double phi;

  SingleVoltageRegulator(const Complex& z2, const Complex& ym, double u_ref, double u_range,
                         double alpha, double phi);

  void declare_dynamic_variables(std::vector<double>& p) const override;
  void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& cursor) override;
  void eval_currents(bool taped) override;
  void backward() override;
  double forward() override;

  void update_parameters(const Complex& new_z2, const Complex& new_ym, double new_u_ref);
  // The tap for the present side-2 winding voltage.
  double get_tap() const;
  // The tap for a side-2 winding voltage of magnitude u_out.
  double compute_tap(double u_out) const;

 private:
  template <class S>
  S ratio(const S& u2) const;
  template <class S>
  void compute_currents();
};

}  // namespace tarvelo
