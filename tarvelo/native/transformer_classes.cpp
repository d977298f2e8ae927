// The transformer classes: the base CyTransformer, the three-phase, single-phase and
// centre-tapped transformers, and the single-phase voltage regulator.
//
// CyTransformer carries the methods of all three transformers: the parameter update of the
// shared base, and the open- and short-circuit tests, which each model runs its own way.
#include "classes.hpp"
#include "elements/transformer.hpp"

namespace tarvelo::py {

namespace {

using Complex = std::complex<double>;

// ---- CyTransformer ----

// Runs `test` on the transformer of `self` as the model it is (the tests are virtual in each
// model's own Transformer<T>, not in the shared base).
template <class Test>
Ref run_test(PyObject* self, Test test) {
  TransformerBase& base = engine<TransformerBase>(self);
  if (auto* t = dynamic_cast<Transformer<ThreePhaseTransformer>*>(&base)) return test(*t);
  if (auto* t = dynamic_cast<Transformer<SingleTransformer>*>(&base)) return test(*t);
  if (auto* t = dynamic_cast<Transformer<CenterTransformer>*>(&base)) return test(*t);
  raise(PyExc_TypeError, messages::wrong_engine_object, class_name(self).get());
}

struct RatedValues {
  double uhv;
  double ulv;
  double sn;
};

RatedValues to_rated_values(const Args<3>& a) {
  const double uhv = to_double(a[0]);
  const double ulv = to_double(a[1]);
  const double sn = to_double(a[2]);
  return {uhv, ulv, sn};
}

Ref update_transformer_parameters(PyObject* self, const Args<3>& a) {
  TransformerBase& transformer = engine<TransformerBase>(self);
  const Complex z2 = to_complex(a[0]);
  const Complex ym = to_complex(a[1]);
  const Complex k = to_complex(a[2]);
  transformer.update_transformer_parameters(z2, ym, k);
  return none();
}

// (no-load losses in W, no-load current per unit of the rated side-1 current)
Ref compute_open_circuit_parameters(PyObject* self, const Args<3>& a) {
  return run_test(self, [&](auto& transformer) {
    const auto [uhv, ulv, sn] = to_rated_values(a);
    const auto [losses, current] = transformer.compute_open_circuit_parameters(uhv, ulv, sn);
    return to_tuple(losses, current);
  });
}

// (short-circuit losses in W, short-circuit voltage per unit)
Ref compute_short_circuit_parameters(PyObject* self, const Args<3>& a) {
  return run_test(self, [&](auto& transformer) {
    const auto [uhv, ulv, sn] = to_rated_values(a);
    const auto [losses, voltage] = transformer.compute_short_circuit_parameters(uhv, ulv, sn);
    return to_tuple(losses, voltage);
  });
}

// ---- the three transformers ----

// The engine refuses winding names ("Bad HV winding: ...", RuntimeError) and port counts that do
// not fit the windings (invalid_argument, so ValueError) before any matrix is built.
Made<Element> make_three_phase_transformer(const Args<8>& a) {
  const int n1 = to_int(a[0]);
  const int n2 = to_int(a[1]);
  const std::string whv = to_string(a[2]);
  const std::string wlv = to_string(a[3]);
  const Complex z2 = to_complex(a[4]);
  const Complex ym = to_complex(a[5]);
  const double k = to_double(a[6]);
  const int clock = to_int(a[7]);
  return new ThreePhaseTransformer(n1, n2, whv, wlv, z2, ym, k, clock);
}

Made<Element> make_single_transformer(const Args<3>& a) {
  const Complex z2 = to_complex(a[0]);
  const Complex ym = to_complex(a[1]);
  const Complex k = to_complex(a[2]);
  return new SingleTransformer(z2, ym, k);
}

Made<Element> make_center_transformer(const Args<3>& a) {
  const Complex z2 = to_complex(a[0]);
  const Complex ym = to_complex(a[1]);
  const double k = to_double(a[2]);
  return new CenterTransformer(z2, ym, k);
}

// ---- CySingleVoltageRegulator ----

Made<Element> make_regulator(const Args<6>& a) {
  const Complex z2 = to_complex(a[0]);
  const Complex ym = to_complex(a[1]);
  const double u_ref = to_double(a[2]);
  const double u_range = to_double(a[3]);
  const double alpha = to_double(a[4]);
  const double phi = to_double(a[5]);
  return new SingleVoltageRegulator(z2, ym, u_ref, u_range, alpha, phi);
}

Ref update_parameters(PyObject* self, const Args<3>& a) {
  SingleVoltageRegulator& regulator = engine<SingleVoltageRegulator>(self);
  const Complex z2 = to_complex(a[0]);
  const Complex ym = to_complex(a[1]);
  const double u_ref = to_double(a[2]);
  regulator.update_parameters(z2, ym, u_ref);
  return none();
}

Ref get_tap(PyObject* self, const Args<0>&) {
  return to_python(engine<SingleVoltageRegulator>(self).get_tap());
}

Ref compute_tap(PyObject* self, const Args<1>& a) {
  const SingleVoltageRegulator& regulator = engine<SingleVoltageRegulator>(self);
  return to_python(regulator.compute_tap(to_double(a[0])));
}

}  // namespace

ClassDef CyTransformer = define_class<Element>(
    "CyTransformer", "CyBranch", nullptr,
    {method<"CyTransformer.update_transformer_parameters(self, double complex z2, double complex "
            "ym, double complex k)",
            update_transformer_parameters>(),
     method<"CyTransformer.compute_open_circuit_parameters(self, double uhv, double ulv, double "
            "sn)",
            compute_open_circuit_parameters>(),
     method<"CyTransformer.compute_short_circuit_parameters(self, double uhv, double ulv, double "
            "sn)",
            compute_short_circuit_parameters>()});

ClassDef CyThreePhaseTransformer = define_class<Element>(
    "CyThreePhaseTransformer", "CyTransformer",
    constructor<"CyThreePhaseTransformer(int n1, int n2, string whv, string wlv, double complex "
                "z2, double complex ym, double k, int clock)",
                make_three_phase_transformer>);

ClassDef CySingleTransformer = define_class<Element>(
    "CySingleTransformer", "CyTransformer",
    constructor<"CySingleTransformer(double complex z2, double complex ym, double complex k)",
                make_single_transformer>);

ClassDef CyCenterTransformer = define_class<Element>(
    "CyCenterTransformer", "CyTransformer",
    constructor<"CyCenterTransformer(double complex z2, double complex ym, double k)",
                make_center_transformer>);

ClassDef CySingleVoltageRegulator = define_class<Element>(
    "CySingleVoltageRegulator", "CyBranch",
    constructor<"CySingleVoltageRegulator(double complex z2, double complex ym, double u_ref, "
                "double u_range, double alpha, double phi)",
                make_regulator>,
    {method<"CySingleVoltageRegulator.update_parameters(self, double complex z2, double complex "
            "ym, double u_ref)",
            update_parameters>(),
     method<"CySingleVoltageRegulator.get_tap(self)", get_tap>(),
     method<"CySingleVoltageRegulator.compute_tap(self, double u_out)", compute_tap>()});

}  // namespace tarvelo::py
