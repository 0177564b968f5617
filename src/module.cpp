// The Python surface of the pitch estimators: the public module
// qesmorPitch.cy_impl and the private module qesmorPitch._kernels.
//
// This is the only unit that touches the CPython and NumPy C APIs. Every
// exported function is a row of a function table: its name, the names of its
// parameters and a typed `*_impl` function whose signature gives their order
// and kinds. The impl takes the converted arguments, allocates the NumPy
// results and calls a plain C++ core. Argument collection, counting,
// conversion, the release of buffer views, the translation of C++ errors and
// the traceback entry are written once, in `run` and `invoke`, and shared by
// every row of both modules.
//
// cy_impl holds the interpreter lock for the whole of every call. The
// private module carries the same rows plus test and benchmark hooks, and
// releases the lock while a core computes: by then the arguments are
// converted, their buffers held and the results allocated, and the cores
// touch no Python object.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL qp_ARRAY_API
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "bayes.hpp"
#include "direct.hpp"
#include "exact_sums.hpp"
#include "framing.hpp"
#include "kernels.hpp"
#include "peaks.hpp"
#include "periodicity.hpp"
#include "resample.hpp"
#include "tracking.hpp"
#include "viterbi.hpp"
#include "views.hpp"
#include "voicing.hpp"

#if PY_VERSION_HEX >= 0x030D0000
// Moved out of the public headers in 3.13 but still exported.
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char*, const char*, int);
#endif

static_assert(sizeof(qp::index_t) == sizeof(Py_ssize_t), "index type must match Py_ssize_t");

namespace {

// What tells the two modules apart.
struct ModuleSpec {
  const char* name;            // qualified, for __module__ and tracebacks
  const char* short_name;
  const char* traceback_file;
  bool release_lock;           // while a core computes
};

constexpr ModuleSpec kPublic = {"qesmorPitch.cy_impl", "cy_impl", "qesmorPitch/cy_impl", false};
constexpr ModuleSpec kPrivate = {"qesmorPitch._kernels", "_kernels", "qesmorPitch/_kernels", true};

// ---------------------------------------------------------------- helpers

// Owns one reference; releases it on every path out of a scope.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Py_XDECREF(std::exchange(object_, other.release()));
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }
  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// New C-contiguous float64 array, or a null Ref with the array library's
// error set (a negative or too large size, no memory).
Ref new_doubles(int ndim, const npy_intp* shape) {
  return Ref(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(shape), NPY_DOUBLE));
}

qp::Out<double> out_of(PyObject* array) {
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  return {static_cast<double*>(PyArray_DATA(a)), static_cast<qp::index_t>(PyArray_SIZE(a))};
}

// ------------------------------------------------------ argument contract

enum class Kind { DoubleVector, IndexVector, DoubleMatrix, Double, Int, Str };

struct Param {
  const char* name;
  Kind kind;
};

constexpr int kMaxParams = 11;

// A str-or-None argument (a mode keyword, a target name), borrowed for the call.
struct Keyword {
  PyObject* object;
};

// The kind of each C++ parameter type an impl may take.
template <class T>
struct KindOf;
template <>
struct KindOf<qp::DVec> { static constexpr Kind value = Kind::DoubleVector; };
template <>
struct KindOf<qp::IVec> { static constexpr Kind value = Kind::IndexVector; };
template <>
struct KindOf<qp::DMat> { static constexpr Kind value = Kind::DoubleMatrix; };
template <>
struct KindOf<double> { static constexpr Kind value = Kind::Double; };
template <>
struct KindOf<int> { static constexpr Kind value = Kind::Int; };
template <>
struct KindOf<Keyword> { static constexpr Kind value = Kind::Str; };

template <class T>
struct Tag {};

// Describes a PEP 3118 element format the way the dtype errors name it.
std::string describe_format(const char* format) {
  const char* f = format ? format : "B";
  std::string order;
  if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') order = *f++;
  static const std::pair<const char*, const char*> names[] = {
      {"b", "signed char"},   {"B", "unsigned char"},      {"h", "short"},
      {"H", "unsigned short"}, {"i", "int"},               {"I", "unsigned int"},
      {"l", "long"},          {"L", "unsigned long"},      {"q", "long long"},
      {"Q", "unsigned long long"}, {"n", "Py_ssize_t"},    {"N", "size_t"},
      {"e", "half"},          {"f", "float"},              {"d", "double"},
      {"g", "long double"},   {"Zf", "complex float"},     {"Zd", "complex double"},
      {"Zg", "complex long double"}, {"?", "bool"},        {"O", "Python object"}};
  if (order.empty() || order == "@" || order == "=" ||
      (order == "<" && PY_LITTLE_ENDIAN) || ((order == ">" || order == "!") && !PY_LITTLE_ENDIAN)) {
    for (const auto& entry : names) {
      if (std::strcmp(f, entry.first) == 0) return std::string("'") + entry.second + "'";
    }
  }
  return std::string("'") + (format ? format : "B") + "'";
}

// True when `format` describes a native 8-byte float (want 'd') or a native
// signed pointer-sized integer (want 'n').
bool format_matches(const char* format, char want) {
  const char* f = format ? format : "B";
  bool standard_sizes = false;
  if (*f == '@') {
    ++f;
  } else if (*f == '=' || (*f == '<' && PY_LITTLE_ENDIAN) || ((*f == '>' || *f == '!') && !PY_LITTLE_ENDIAN)) {
    standard_sizes = true;
    ++f;
  } else if (*f == '<' || *f == '>' || *f == '!') {
    return false;  // byte order differs from the machine's
  }
  if (f[0] == '\0' || f[1] != '\0') return false;
  if (want == 'd') return f[0] == 'd';
  if (f[0] == 'q') return sizeof(long long) == sizeof(Py_ssize_t);
  if (standard_sizes) return false;
  if (f[0] == 'n') return true;
  if (f[0] == 'l') return sizeof(long) == sizeof(Py_ssize_t);
  return false;
}

// Converted arguments of one call. Buffer views taken here are released by
// the destructor, so every exit path of a call gives them back.
class Arguments {
 public:
  Arguments() = default;
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
  ~Arguments() {
    for (int i = 0; i < kMaxParams; ++i) {
      if (held_[i]) PyBuffer_Release(&buffers_[i]);
    }
  }

  // Parameter i as the type the impl takes it in.
  qp::DVec get(int i, Tag<qp::DVec>) const { return {bases_[i], shapes_[i][0], strides_[i][0]}; }
  qp::IVec get(int i, Tag<qp::IVec>) const { return {bases_[i], shapes_[i][0], strides_[i][0]}; }
  qp::DMat get(int i, Tag<qp::DMat>) const {
    return {bases_[i], shapes_[i][0], shapes_[i][1], strides_[i][0], strides_[i][1]};
  }
  double get(int i, Tag<double>) const { return reals_[i]; }
  int get(int i, Tag<int>) const { return ints_[i]; }
  Keyword get(int i, Tag<Keyword>) const { return {objects_[i]}; }

  // Converts `object` as parameter i of kind `kind`; false with an error set.
  bool convert(int i, const Param& param, PyObject* object) {
    switch (param.kind) {
      case Kind::DoubleVector:
        return take_buffer(i, object, 1, 'd');
      case Kind::IndexVector:
        return take_buffer(i, object, 1, 'n');
      case Kind::DoubleMatrix:
        return take_buffer(i, object, 2, 'd');
      case Kind::Double:
        reals_[i] = PyFloat_AsDouble(object);
        return !(reals_[i] == -1.0 && PyErr_Occurred());
      case Kind::Int:
        return to_int(object, &ints_[i]);
      case Kind::Str:
        objects_[i] = object;  // checked after every other conversion
        return true;
    }
    return true;
  }

  static bool check_str(const Param& param, PyObject* object) {
    if (object == Py_None || PyUnicode_CheckExact(object)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param.name, "str", Py_TYPE(object)->tp_name);
    return false;
  }

 private:

  bool take_buffer(int i, PyObject* object, int ndim, char element) {
    shapes_[i][0] = shapes_[i][1] = 0;
    strides_[i][0] = strides_[i][1] = sizeof(double);
    bases_[i] = nullptr;
    if (object == Py_None) return true;  // an empty view
    Py_buffer* view = &buffers_[i];
    if (PyObject_GetBuffer(object, view, PyBUF_RECORDS) < 0) return false;
    held_[i] = true;
    if (view->ndim != ndim) {
      PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                   view->ndim);
      return false;
    }
    if (!format_matches(view->format, element) || view->itemsize != 8) {
      PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got %s",
                   element == 'd' ? "double" : "Py_ssize_t", describe_format(view->format).c_str());
      return false;
    }
    if (view->suboffsets) {
      PyErr_SetString(PyExc_ValueError, "Buffer with indirect dimensions is not supported");
      return false;
    }
    bases_[i] = static_cast<const char*>(view->buf);
    Py_ssize_t step = view->itemsize;
    for (int d = ndim - 1; d >= 0; --d) {
      shapes_[i][d] = view->shape[d];
      strides_[i][d] = view->strides ? view->strides[d] : step;
      step *= view->shape[d];
    }
    if (element == 'n') {
      // Indices are checked once and then used to address memory, while a
      // module that releases the lock lets other threads write into the
      // caller's array: the core gets a copy of its own, read here.
      owned_[i].resize(static_cast<std::size_t>(shapes_[i][0]));
      for (Py_ssize_t k = 0; k < shapes_[i][0]; ++k) {
        std::memcpy(&owned_[i][static_cast<std::size_t>(k)], bases_[i] + k * strides_[i][0], sizeof(qp::index_t));
      }
      bases_[i] = reinterpret_cast<const char*>(owned_[i].data());
      strides_[i][0] = sizeof(qp::index_t);
    }
    return true;
  }

  // 32-bit conversion: ints and objects with __index__, else __int__.
  static bool to_int(PyObject* object, int* out) {
    Ref number;
    if (PyLong_Check(object)) {
      Py_INCREF(object);
      number = Ref(object);
    } else {
      PyNumberMethods* nb = Py_TYPE(object)->tp_as_number;
      if (nb && nb->nb_index) {
        number = Ref(PyNumber_Index(object));
      } else if (nb && nb->nb_int) {
        number = Ref(nb->nb_int(object));
        if (number && !PyLong_Check(number.get())) {
          PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(number.get())->tp_name);
          return false;
        }
      } else {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                     Py_TYPE(object)->tp_name);
        return false;
      }
      if (!number) return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value > INT_MAX || value < INT_MIN) {
      PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
      return false;
    }
    *out = static_cast<int>(value);
    return true;
  }

  Py_buffer buffers_[kMaxParams] = {};
  bool held_[kMaxParams] = {};
  const char* bases_[kMaxParams] = {};
  Py_ssize_t shapes_[kMaxParams][2] = {};
  Py_ssize_t strides_[kMaxParams][2] = {};
  double reals_[kMaxParams] = {};
  int ints_[kMaxParams] = {};
  PyObject* objects_[kMaxParams] = {};
  std::vector<qp::index_t> owned_[kMaxParams];
};

// ----------------------------------------------------------------- entries
//
// One impl per exported function: its parameters are the function's, in
// order, typed by kind. An impl resolves keywords and allocates the results
// (with the lock held), runs the core inside `compute`, and returns a new
// reference or null with an error set; it may throw qp::Error, which `run`
// translates.

// Set for the duration of a call of a module that releases the lock.
thread_local bool t_release_lock = false;

// Runs `core` without the interpreter lock when the calling module allows
// it. The lock is taken back on every way out, including a C++ exception.
template <class Core>
void compute(Core&& core) {
  if (!t_release_lock) {
    core();
    return;
  }
  struct Unlocked {
    PyThreadState* state = PyEval_SaveThread();
    ~Unlocked() { PyEval_RestoreThread(state); }
  } unlocked;
  core();
}

PyObject* empty_doubles() {
  const npy_intp shape[1] = {0};
  return PyArray_SimpleNew(1, const_cast<npy_intp*>(shape), NPY_DOUBLE);
}

// Keyword arguments are compared by exact string equality; None matches none.
template <class E, std::size_t N>
E resolve(Keyword keyword, const std::pair<const char*, E> (&choices)[N], E unknown) {
  if (keyword.object == Py_None) return unknown;
  for (const auto& choice : choices) {
    if (PyUnicode_CompareWithASCIIString(keyword.object, choice.first) == 0) return choice.second;
  }
  return unknown;
}

qp::RefineMode refine_mode(Keyword pp_mode, Keyword interpolator_mode) {
  static const std::pair<const char*, qp::Interpolator> choices[] = {
      {"parabolic", qp::Interpolator::Parabolic},
      {"gaussian", qp::Interpolator::Gaussian},
      {"centroid", qp::Interpolator::Centroid},
      {"no", qp::Interpolator::None},
  };
  static const std::pair<const char*, bool> threshold_diff[] = {{"threshold_diff", true}};
  qp::RefineMode mode;
  mode.interpolator = resolve(interpolator_mode, choices, qp::Interpolator::Unknown);
  mode.threshold_diff = resolve(pp_mode, threshold_diff, false);
  return mode;
}

// An (F, columns) track, or the empty (0,) array when there is no frame.
Ref new_track(npy_intp frames, npy_intp columns) {
  if (frames == 0) return Ref(empty_doubles());
  const npy_intp shape[2] = {frames, columns};
  return new_doubles(2, shape);
}

// Allocates the (frames, columns) track of `source` and fills it with `core`.
template <class Core>
PyObject* track(const qp::FrameSource& source, npy_intp columns, Core&& core) {
  Ref rows = new_track(source.frames(), columns);
  if (!rows) return nullptr;
  compute([&] { core(out_of(rows.get())); });
  return rows.release();
}

// The framed cores take one signal, or two half-waves, first: `Data` is one
// or two qp::DVec, and each such impl is bound once per form.

template <class... Data>
PyObject* qesmor_map_impl(Data... data, int window_size, int hop_size, qp::IVec search_sample) {
  qp::check_window(window_size);
  qp::check_hop(hop_size);
  qp::check_lags(search_sample);
  qp::FrameSource source(qp::Framing(data..., window_size, hop_size), search_sample);
  const npy_intp frames = source.frames();
  Ref map;
  Ref means;
  if (frames == 0) {
    map = Ref(empty_doubles());
    means = Ref(empty_doubles());
  } else {
    const npy_intp map_shape[2] = {frames, source.lag_count()};
    map = new_doubles(2, map_shape);
    means = new_doubles(1, &frames);
  }
  if (!map || !means) return nullptr;
  if (frames > 0) compute([&] { qp::qesmor_map(source, out_of(map.get()), out_of(means.get())); });
  return PyTuple_Pack(2, map.get(), means.get());
}

template <class... Data>
PyObject* pitch_direct_impl(Data... data, double fs, int window_size, int hop_size, qp::IVec search_sample,
                            Keyword pp_mode, int qesmor_smooth, Keyword pitch_detect_mode, double pitch_detect_thre,
                            Keyword interpolator_mode) {
  static const std::pair<const char*, qp::DetectMode> detect_modes[] = {
      {"score", qp::DetectMode::Score},
      {"static", qp::DetectMode::Static},
      {"maximum", qp::DetectMode::Maximum},
      {"peak", qp::DetectMode::Peak},
  };
  qp::DirectParams params;
  params.fs = fs;
  params.smooth = qesmor_smooth;
  params.detect = resolve(pitch_detect_mode, detect_modes, qp::DetectMode::Unknown);
  params.threshold = pitch_detect_thre;
  params.refine = refine_mode(pp_mode, interpolator_mode);

  qp::check_smoothing(search_sample.size, params.smooth);
  qp::check_window(window_size);
  qp::check_hop(hop_size);
  qp::check_lags(search_sample);
  qp::FrameSource source(qp::Framing(data..., window_size, hop_size), search_sample);
  return track(source, 2, [&](qp::Out<double> rows) { qp::pitch_direct(source, params, rows); });
}

// The framing of a core's signals: one signal, its two half-waves, or
// (kHalves) one signal analysed as both its half-waves without building them.
template <bool kHalves, class... Data>
qp::Framing framing_of(int window_size, int hop_size, Data... data) {
  if constexpr (kHalves) {
    return qp::Framing::halves(data..., window_size, hop_size);
  } else {
    return qp::Framing(data..., window_size, hop_size);
  }
}

// The two tracking cores take the same parameters but for the weight of the
// prediction (alpha) or of the observation (beta); each checks its own lags.
template <class Params, double Params::*Weight, void (*Core)(qp::FrameSource&, const Params&, qp::Out<double>),
          bool kHalves, class... Data>
PyObject* pitch_tracking_impl(Data... data, double fs, int window_size, int hop_size, qp::IVec search_sample,
                              Keyword pp_mode, double weight, double sigma, Keyword interpolator_mode) {
  Params params;
  params.fs = fs;
  params.*Weight = weight;
  params.sigma = sigma;
  params.refine = refine_mode(pp_mode, interpolator_mode);

  qp::check_window(window_size);
  qp::check_hop(hop_size);
  Params::check_lags(search_sample, window_size);
  qp::FrameSource source(framing_of<kHalves, Data...>(window_size, hop_size, data...), search_sample);
  return track(source, 3, [&](qp::Out<double> rows) { Core(source, params, rows); });
}

template <class... Data>
constexpr auto pitch_bayes_impl =
    &pitch_tracking_impl<qp::BayesParams, &qp::BayesParams::alpha, qp::pitch_bayes, false, Data...>;
template <class... Data>
constexpr auto pitch_viterbi_impl =
    &pitch_tracking_impl<qp::ViterbiParams, &qp::ViterbiParams::beta, qp::pitch_viterbi, false, Data...>;
// The two-polarity cores on the signal itself (see Framing::halves).
constexpr auto bayes_halves_impl =
    &pitch_tracking_impl<qp::BayesParams, &qp::BayesParams::alpha, qp::pitch_bayes, true, qp::DVec>;
constexpr auto viterbi_halves_impl =
    &pitch_tracking_impl<qp::ViterbiParams, &qp::ViterbiParams::beta, qp::pitch_viterbi, true, qp::DVec>;

PyObject* create_transition_matrix_impl(int n_periods, double fs, double sigma) {
  qp::check_window(n_periods);
  const npy_intp shape[2] = {n_periods, n_periods};
  Ref matrix = new_doubles(2, shape);
  if (!matrix) return nullptr;
  compute([&] { qp::transition_matrix(n_periods, fs, sigma, out_of(matrix.get()).data); });
  return matrix.release();
}

// The decoder's path on a kernel target.
PyObject* decode(qp::DMat log_likelihood, qp::DMat log_a, double beta, const qp::kernels::Target& target) {
  qp::check_decoder_shapes(log_likelihood, log_a);
  const npy_intp frames = log_likelihood.rows;
  Ref path(PyArray_SimpleNew(1, const_cast<npy_intp*>(&frames), NPY_INTP));
  if (!path) return nullptr;
  auto* out = static_cast<qp::index_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(path.get())));
  compute([&] { qp::viterbi(log_likelihood, log_a, beta, out, target); });
  return path.release();
}

PyObject* viterbi_impl(qp::DMat log_likelihood, qp::DMat log_A, double beta) {
  return decode(log_likelihood, log_A, beta, qp::kernels::active());
}

PyObject* prev_first_up_zero_impl(qp::DVec data) {
  if (!data.base) {
    // None converts to an empty view, but there is no array to copy.
    PyErr_SetString(PyExc_ValueError, "_prev_first_up_zero() needs a 1-D float64 array, got None");
    return nullptr;
  }
  const npy_intp size = data.size;
  Ref out = new_doubles(1, &size);
  if (!out) return nullptr;
  compute([&] { qp::prev_first_up_zero(data, out_of(out.get()).data); });
  return out.release();
}

// ------------------------------------------------- hooks of _kernels only
//
// The internal routines one by one, for the tests, and the choice of kernel
// target, for tests and benchmarks. A `target` argument of None means the
// active target.

// The target named by `name` (None: the active one); null with an error set
// when this CPU cannot run it.
const qp::kernels::Target* target_named(Keyword name) {
  if (name.object == Py_None) return &qp::kernels::active();
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.object, &length);
  if (!text) return nullptr;
  // A name with a NUL inside would otherwise be read as its first part.
  const qp::kernels::Target* t =
      std::strlen(text) == static_cast<std::size_t>(length) ? qp::kernels::find(text) : nullptr;
  if (!t) PyErr_Format(PyExc_ValueError, "target %R is not supported here", name.object);
  return t;
}

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
PyObject* to_python(qp::index_t value) { return PyLong_FromSsize_t(value); }

template <auto Statistic>
PyObject* statistic_impl(qp::DVec v) {
  return to_python(Statistic(v));
}

PyObject* first_peak_above_impl(qp::DVec v, double threshold) {
  return to_python(qp::first_peak_above(v, threshold));
}

template <qp::Refinement (*Interpolate)(qp::DVec, qp::index_t)>
PyObject* interpolate_impl(qp::DVec v, int peak) {
  // The cores only refine indices inside the vector.
  if (peak < 0 || peak >= v.size) {
    PyErr_SetString(PyExc_IndexError, "peak index out of range");
    return nullptr;
  }
  const qp::Refinement r = Interpolate(v, peak);
  return Py_BuildValue("(dd)", r.offset, r.value);
}

PyObject* periodicity_impl(qp::DVec x, qp::IVec lags, Keyword target) {
  const qp::kernels::Target* t = target_named(target);
  if (!t) return nullptr;
  qp::check_lags(lags);
  const npy_intp size = lags.size;
  Ref out = new_doubles(1, &size);
  if (!out) return nullptr;
  compute([&] {
    std::vector<double> gather;
    qp::qesmor_frame(x, lags, out_of(out.get()).data, gather, *t);
  });
  return out.release();
}

PyObject* viterbi_on_impl(qp::DMat log_likelihood, qp::DMat log_A, double beta, Keyword target) {
  const qp::kernels::Target* t = target_named(target);
  return t ? decode(log_likelihood, log_A, beta, *t) : nullptr;
}

// out = a @ v for a square matrix a, computed from its transpose as the
// Bayesian prediction does.
PyObject* matvec_impl(qp::DMat a, qp::DVec v, Keyword target) {
  const qp::kernels::Target* t = target_named(target);
  if (!t) return nullptr;
  const qp::index_t n = a.rows;
  if (a.cols != n || v.size != n) {
    PyErr_SetString(PyExc_ValueError, "needs a square matrix and a vector of its size");
    return nullptr;
  }
  const npy_intp size = n;
  Ref out = new_doubles(1, &size);
  if (!out) return nullptr;
  compute([&] {
    // The transpose and the vector, contiguous: at[j * n + i] = a(i, j).
    std::vector<double> at(static_cast<std::size_t>(n * n)), values(static_cast<std::size_t>(n));
    for (qp::index_t i = 0; i < n; ++i) {
      for (qp::index_t j = 0; j < n; ++j) at[j * n + i] = a(i, j);
      values[i] = v[i];
    }
    qp::kernels::matvec_transposed(at.data(), n, values.data(), out_of(out.get()).data, *t);
  });
  return out.release();
}

// The forward filter resumed from `belief` over the frames of the data, for a
// stream that carries the filter from call to call. `transition_t` is the
// transposed transition block (transition_t[j, i] is the move from lag j to
// lag i of the block's range). Returns (rows, belief after the last frame).
template <class... Data>
PyObject* bayes_resume_impl(Data... data, double fs, int window_size, int hop_size, qp::IVec search_sample,
                            Keyword pp_mode, double alpha, Keyword interpolator_mode, qp::DMat transition_t,
                            qp::DVec belief) {
  qp::BayesParams params;
  params.fs = fs;
  params.alpha = alpha;
  params.refine = refine_mode(pp_mode, interpolator_mode);
  qp::check_window(window_size);
  qp::check_hop(hop_size);
  qp::BayesParams::check_lags(search_sample, window_size);
  const qp::BlockRange range = qp::bayes_block_range(search_sample, window_size);
  const qp::index_t block_size = range.hi - range.lo;
  if (transition_t.rows != block_size || transition_t.cols != block_size) {
    PyErr_Format(PyExc_ValueError, "transition_t has shape (%zd, %zd); these lags need (%zd, %zd)",
                 transition_t.rows, transition_t.cols, block_size, block_size);
    return nullptr;
  }
  if (belief.size != search_sample.size) {
    PyErr_Format(PyExc_ValueError, "belief has %zd values; it needs one per lag, %zd", belief.size,
                 search_sample.size);
    return nullptr;
  }
  qp::FrameSource source(qp::Framing(data..., window_size, hop_size), search_sample);
  const npy_intp n = search_sample.size;
  Ref state = new_doubles(1, &n);
  Ref rows = new_track(source.frames(), 3);
  if (!state || !rows) return nullptr;
  compute([&] {
    double* out = out_of(state.get()).data;
    for (qp::index_t k = 0; k < n; ++k) out[k] = belief[k];
    std::vector<double> block(static_cast<std::size_t>(block_size * block_size));
    for (qp::index_t j = 0; j < block_size; ++j) {
      for (qp::index_t i = 0; i < block_size; ++i) block[j * block_size + i] = transition_t(j, i);
    }
    if (source.frames() > 0) qp::bayes_filter(source, params, block.data(), block_size, out, out_of(rows.get()));
  });
  return PyTuple_Pack(2, rows.get(), state.get());
}

// The bounded periodicity check of frames x[starts[i], starts[i] + width)
// at the fractional periods[k, i], for the Python layer's voicing model.
PyObject* periodicity_check_impl(qp::DVec x, qp::IVec starts, qp::DMat periods, qp::IVec widths) {
  if (starts.size != periods.cols) {
    PyErr_Format(PyExc_ValueError, "starts has %zd values and periods %zd columns; give one start per column",
                 starts.size, periods.cols);
    return nullptr;
  }
  if (widths.size != 1 && widths.size != starts.size) {
    PyErr_Format(PyExc_ValueError, "widths has %zd values for %zd frames; give one width for all frames or one per frame",
                 widths.size, starts.size);
    return nullptr;
  }
  for (qp::index_t i = 0; i < widths.size; ++i) {
    if (widths[i] < 0) {
      PyErr_Format(PyExc_ValueError, "widths[%zd]=%zd must be >= 0", i, widths[i]);
      return nullptr;
    }
  }
  for (qp::index_t i = 0; i < starts.size; ++i) {
    const qp::index_t start = starts[i], width = widths[widths.size == 1 ? 0 : i];
    if (start < 0 || start > x.size - width) {
      PyErr_Format(PyExc_ValueError, "starts[%zd]=%zd: the frame of %zd samples must lie within the %zd of x",
                   i, start, width, x.size);
      return nullptr;
    }
  }
  const npy_intp shape[2] = {periods.rows, periods.cols};
  Ref out = new_doubles(2, shape);
  if (!out) return nullptr;
  compute([&] { qp::periodicity_check(x, starts, widths, periods, out_of(out.get())); });
  return out.release();
}

// The zero-phase high-pass before framing: `sos` (sections x 6) forward,
// then backward, each pass from the steady state `zi` (sections x 2);
// `settle` samples bring a filter's state to the one-pass state.
PyObject* highpass_zero_phase_impl(qp::DVec x, qp::DMat sos, qp::DMat zi, int settle) {
  if (sos.cols != 6 || zi.rows != sos.rows || zi.cols != 2) {
    PyErr_Format(PyExc_ValueError, "sos has shape (%zd, %zd) and zi (%zd, %zd); they need (n, 6) and (n, 2)",
                 sos.rows, sos.cols, zi.rows, zi.cols);
    return nullptr;
  }
  const npy_intp n = x.size;
  Ref out = new_doubles(1, &n);
  if (!out) return nullptr;
  compute([&] { qp::highpass_zero_phase(x, sos, zi, settle, out_of(out.get())); });
  return out.release();
}

// A stream's high-pass: `sos` forward over x from `state` (sections x 2);
// returns (output, state after the last sample).
PyObject* highpass_forward_impl(qp::DVec x, qp::DMat sos, qp::DMat state) {
  if (sos.cols != 6 || state.rows != sos.rows || state.cols != 2) {
    PyErr_Format(PyExc_ValueError,
                 "sos has shape (%zd, %zd) and state (%zd, %zd); they need (n, 6) and (n, 2)",
                 sos.rows, sos.cols, state.rows, state.cols);
    return nullptr;
  }
  const npy_intp n = x.size, shape[2] = {sos.rows, 2};
  Ref out = new_doubles(1, &n);
  if (!out) return nullptr;
  Ref after = new_doubles(2, shape);
  if (!after) return nullptr;
  compute([&] { qp::highpass_forward(x, sos, state, out_of(out.get()), out_of(after.get())); });
  return PyTuple_Pack(2, out.get(), after.get());
}

// The high-pass with its output rounded to the grid the cores' running sums
// need, in the same call: one pass over the block less.
PyObject* highpass_on_grid_impl(qp::DVec x, qp::DMat sos, qp::DMat zi, int settle, int grid_bits) {
  if (sos.cols != 6 || zi.rows != sos.rows || zi.cols != 2) {
    PyErr_Format(PyExc_ValueError, "sos has shape (%zd, %zd) and zi (%zd, %zd); they need (n, 6) and (n, 2)",
                 sos.rows, sos.cols, zi.rows, zi.cols);
    return nullptr;
  }
  if (grid_bits < 0 || grid_bits > 60) {
    PyErr_Format(PyExc_ValueError, "grid_bits=%d must be between 0 and 60, e.g. 30", grid_bits);
    return nullptr;
  }
  const npy_intp n = x.size;
  Ref out = new_doubles(1, &n);
  if (!out) return nullptr;
  compute([&] { qp::highpass_zero_phase(x, sos, zi, settle, grid_bits, out_of(out.get())); });
  return out.release();
}

// Output samples [first, first + count) of SciPy's upfirdn(h, padded x, up,
// down) for the layer's lower analysis rate; `h` as upfirdn holds it.
PyObject* resample_poly_impl(qp::DVec x, int pre, int padded, qp::DVec h, int up, int down, int first,
                             int count) {
  if (count < 0) {
    PyErr_Format(PyExc_ValueError, "count=%d must be >= 0", count);
    return nullptr;
  }
  const npy_intp n = count;
  Ref out = new_doubles(1, &n);
  if (!out) return nullptr;
  compute([&] { qp::resample_poly(x, pre, padded, h, up, down, first, out_of(out.get())); });
  return out.release();
}

// The way back from the lower rate: x * gain minus `low` (far below that
// rate's band) interpolated at the positions (start + k * up) / down.
PyObject* subtract_interpolated_impl(qp::DVec x, double gain, qp::DVec low, int up, int down, int start) {
  const npy_intp n = x.size;
  Ref out = new_doubles(1, &n);
  if (!out) return nullptr;
  compute([&] { qp::subtract_interpolated(x, gain, low, up, down, start, out_of(out.get())); });
  return out.release();
}

// The runs of at least min_run exact zeros: (starts, stops).
PyObject* zero_runs_impl(qp::DVec x, int min_run) {
  if (min_run < 1) {
    PyErr_Format(PyExc_ValueError, "min_run=%d must be at least 1, e.g. a frame's length", min_run);
    return nullptr;
  }
  std::vector<qp::index_t> runs;
  compute([&] { qp::zero_runs(x, min_run, runs); });
  const npy_intp count = static_cast<npy_intp>(runs.size() / 2);
  Ref starts(PyArray_SimpleNew(1, const_cast<npy_intp*>(&count), NPY_INTP));
  if (!starts) return nullptr;
  Ref stops(PyArray_SimpleNew(1, const_cast<npy_intp*>(&count), NPY_INTP));
  if (!stops) return nullptr;
  auto* a = static_cast<qp::index_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(starts.get())));
  auto* b = static_cast<qp::index_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(stops.get())));
  for (npy_intp k = 0; k < count; ++k) {
    a[k] = runs[static_cast<std::size_t>(2 * k)];
    b[k] = runs[static_cast<std::size_t>(2 * k + 1)];
  }
  return PyTuple_Pack(2, starts.get(), stops.get());
}

PyObject* group_means_impl(qp::DMat x, int factor) {
  if (factor < 1) {
    PyErr_Format(PyExc_ValueError, "factor=%d must be at least 1, e.g. 8", factor);
    return nullptr;
  }
  const npy_intp shape[2] = {x.rows, x.cols / factor};
  Ref out = new_doubles(2, shape);
  if (!out) return nullptr;
  compute([&] { qp::group_means(x, factor, out_of(out.get())); });
  return out.release();
}

// Both half-waves of a conditioned block in one pass.
PyObject* half_waves_impl(qp::DVec x) {
  const npy_intp n = x.size;
  Ref positive = new_doubles(1, &n);
  Ref negative = new_doubles(1, &n);
  if (!positive || !negative) return nullptr;
  compute([&] { qp::half_waves(x, out_of(positive.get()), out_of(negative.get())); });
  return PyTuple_Pack(2, positive.get(), negative.get());
}

// The voiced state's posterior under the two-state chain of the voicing model.
PyObject* voicing_posterior_impl(qp::DVec score, double switch_cost, int smooth) {
  const npy_intp n = score.size;
  Ref out = new_doubles(1, &n);
  if (!out) return nullptr;
  qp::ChainState state;
  compute([&] { qp::voicing_posterior(score, switch_cost, smooth != 0, state, out_of(out.get())); });
  return out.release();
}

// The forward chain resumed from `state` ((v, u) after the previous frame, or
// None or empty before the first), for a stream that carries it from call to
// call. Returns (posterior, state after the last frame; empty while no frame
// has come).
PyObject* voicing_forward_impl(qp::DVec score, double switch_cost, qp::DVec state) {
  if (state.size != 0 && state.size != 2) {
    PyErr_Format(PyExc_ValueError,
                 "state has %zd values; give the (v, u) a previous call returned, or None before the first frame",
                 state.size);
    return nullptr;
  }
  qp::ChainState chain;
  if (state.size == 2) {
    chain = {state[0], state[1], true};
    // Beliefs scaled so the larger is 1: anything else would make every
    // later posterior NaN.
    if (!(chain.v >= 0.0 && chain.u >= 0.0 && (chain.v == 1.0 || chain.u == 1.0) && chain.v <= 1.0 &&
          chain.u <= 1.0)) {
      char text[200];
      std::snprintf(text, sizeof(text),
                    "state (%.17g, %.17g) is not one a previous call returned: (v, u) are beliefs in [0, 1], "
                    "the larger 1; give None before the first frame",
                    chain.v, chain.u);
      PyErr_SetString(PyExc_ValueError, text);
      return nullptr;
    }
  }
  const npy_intp n = score.size;
  Ref out = new_doubles(1, &n);
  if (!out) return nullptr;
  compute([&] { qp::voicing_posterior(score, switch_cost, false, chain, out_of(out.get())); });
  const npy_intp size = chain.known ? 2 : 0;
  Ref after = new_doubles(1, &size);
  if (!after) return nullptr;
  if (chain.known) {
    out_of(after.get()).data[0] = chain.v;
    out_of(after.get()).data[1] = chain.u;
  }
  return PyTuple_Pack(2, out.get(), after.get());
}

// The running-sum path alone: (map, means, path) for a signal, with NaN
// rows and path[t] 0 where frame t would be summed frame by frame; 1 where
// its running sums are carried in doubles, 2 in integers.
PyObject* running_map_impl(qp::DVec x, int window_size, int hop_size, qp::IVec lags, Keyword target) {
  const qp::kernels::Target* t = target_named(target);
  if (!t) return nullptr;
  qp::check_window(window_size);
  qp::check_hop(hop_size);
  qp::check_lags(lags);
  const qp::index_t frames = qp::frame_count(x.size, window_size, hop_size);
  const qp::index_t count = lags.size;
  const npy_intp shape[2] = {frames, count};
  Ref map = new_doubles(2, shape);
  Ref means = new_doubles(1, shape);
  Ref taken(PyArray_SimpleNew(1, const_cast<npy_intp*>(shape), NPY_INT8));
  if (!map || !means || !taken) return nullptr;
  compute([&] {
    double* rows = out_of(map.get()).data;
    double* level = out_of(means.get()).data;
    auto* flag = static_cast<npy_int8*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(taken.get())));
    qp::ExactFrames exact(x, lags, window_size, hop_size, frames, *t);
    for (qp::index_t f = 0; f < frames; ++f) {
      const bool running = exact.analyse(f, rows + f * count, level[f]);
      flag[f] = static_cast<npy_int8>(exact.path());
      if (!running) {
        level[f] = NAN;
        for (qp::index_t k = 0; k < count; ++k) rows[f * count + k] = NAN;
      }
    }
  });
  return PyTuple_Pack(3, map.get(), means.get(), taken.get());
}

PyObject* qesmor_frames_at_impl(qp::DVec x, qp::IVec windows, qp::IVec starts, qp::IVec lags, int polarity) {
  const npy_intp n = lags.size;
  Ref scores = new_doubles(1, &n);
  if (!scores) return nullptr;
  compute([&] { qp::qesmor_frames_at(x, windows, starts, lags, polarity, out_of(scores.get()).data); });
  return scores.release();
}

PyObject* running_sums_exact_impl(qp::DVec x) {
  bool exact = false;
  compute([&] {
    std::vector<double> samples(static_cast<std::size_t>(x.size));
    for (qp::index_t i = 0; i < x.size; ++i) samples[i] = x[i];
    exact = qp::running_sums_exact(samples.data(), x.size);
  });
  return PyBool_FromLong(exact);
}

PyObject* use_shortcuts_impl(int on) {
  qp::kernels::set_shortcuts(on != 0);
  Py_RETURN_NONE;
}

PyObject* kernel_targets_impl() {
  using qp::kernels::Group;
  return Py_BuildValue("{ssssss}", "periodicity", qp::kernels::active_name(Group::kPeriodicity), "running_sums",
                       qp::kernels::active_name(Group::kRunningSums), "decoder",
                       qp::kernels::active_name(Group::kDecoder));
}

PyObject* targets_impl() {
  Ref names(PyList_New(0));
  for (int i = 0; names && i < qp::kernels::target_count(); ++i) {
    const qp::kernels::Target& t = qp::kernels::target(i);
    if (!t.supported()) continue;
    Ref name(PyUnicode_FromString(t.name));
    if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
  }
  return names.release();
}

PyObject* active_target_impl() {
  return PyUnicode_FromString(qp::kernels::active().name);
}

PyObject* use_target_impl(Keyword name) {
  const qp::kernels::Target* target = target_named(name);
  if (!target) return nullptr;
  // Only this module's copy of the dispatch changes; cy_impl keeps its own.
  qp::kernels::set_override(name.object == Py_None ? nullptr : target);
  Py_RETURN_NONE;
}

// ------------------------------------------------------------ the table

using Entry = PyObject* (*)(const Arguments&);

// A parameter list held by value, so a table row owns its parameters.
class Params {
 public:
  void add(const Param& p) { items_[count_++] = p; }
  const Param* begin() const { return items_; }
  const Param* end() const { return items_ + count_; }
  std::size_t size() const { return static_cast<std::size_t>(count_); }

 private:
  Param items_[kMaxParams] = {};
  int count_ = 0;
};

struct Function {
  const char* name;
  Params params;
  Py_ssize_t required;  // the leading parameters a call must give; the rest default to None
  Entry entry;
  std::string doc;      // the text signature, then the description
};

template <class F>
struct Signature;
template <class... A>
struct Signature<PyObject* (*)(A...)> {
  static constexpr std::size_t arity = sizeof...(A);
  static constexpr Kind kinds[sizeof...(A) + 1] = {KindOf<A>::value..., Kind::Str};

  template <PyObject* (*Impl)(A...), std::size_t... I>
  static PyObject* call(const Arguments& a, std::index_sequence<I...>) {
    return Impl(a.get(static_cast<int>(I), Tag<A>{})...);
  }
};

template <auto Impl>
PyObject* entry(const Arguments& a) {
  using S = Signature<decltype(Impl)>;
  return S::template call<Impl>(a, std::make_index_sequence<S::arity>{});
}

// One row: the impl gives the parameters' order and kinds, `names` their
// names. Parameters from `required` on are optional keywords (None).
template <auto Impl>
Function make_row(const char* name, const char* const* names, std::size_t count, std::size_t required,
                  const std::string& description) {
  using S = Signature<decltype(Impl)>;
  Function f{name, {}, static_cast<Py_ssize_t>(required), &entry<Impl>, std::string(name) + "($module"};
  for (std::size_t i = 0; i < count; ++i) {
    f.params.add({names[i], S::kinds[i]});
    f.doc += std::string(", ") + names[i] + (i < required ? "" : "=None");
  }
  f.doc += ")\n--\n\n" + description;
  return f;
}

// One row: the impl gives the parameters' order and kinds, `names` their
// names. Parameters from `required` on are optional keywords (None).
template <auto Impl, std::size_t N>
Function row(const char* name, const char* const (&names)[N], const std::string& description,
             std::size_t required = N) {
  static_assert(N == Signature<decltype(Impl)>::arity, "one name per parameter of the impl");
  static_assert(N <= kMaxParams, "too many parameters");
  return make_row<Impl>(name, names, N, required, description);
}

// A row of a framed core: its one or two signals, then the core's own parameters.
template <auto Impl, std::size_t S, std::size_t N>
Function framed_row(const char* name, const char* const (&signals)[S], const char* const (&rest)[N],
                    const std::string& description) {
  static_assert(S + N == Signature<decltype(Impl)>::arity, "one name per parameter of the impl");
  static_assert(S + N <= kMaxParams, "too many parameters");
  std::array<const char*, S + N> names{};
  for (std::size_t i = 0; i < S; ++i) names[i] = signals[i];
  for (std::size_t i = 0; i < N; ++i) names[S + i] = rest[i];
  return make_row<Impl>(name, names.data(), S + N, S + N, description);
}

constexpr const char* kOneSignal[] = {"data"};
constexpr const char* kTwoSignals[] = {"data_posi", "data_nega"};
constexpr const char* kMapParams[] = {"window_size", "hop_size", "search_sample"};
constexpr const char* kDirectParams[] = {"fs", "window_size", "hop_size", "search_sample", "pp_mode",
                                         "qesmor_smooth", "pitch_detect_mode", "pitch_detect_thre",
                                         "interpolator_mode"};
constexpr const char* kBayesParams[] = {"fs", "window_size", "hop_size", "search_sample", "pp_mode",
                                        "alpha", "sigma", "interpolator_mode"};
constexpr const char* kViterbiParams[] = {"fs", "window_size", "hop_size", "search_sample", "pp_mode",
                                          "beta", "sigma", "interpolator_mode"};

constexpr const char* kResumeParams[] = {"fs", "window_size", "hop_size", "search_sample", "pp_mode",
                                         "alpha", "interpolator_mode", "transition_t", "belief"};

// What a tracking core's two-polarity form says of itself.
std::string two_polarity_tracking(const char* single) {
  return std::string(single) +
         " for a signal given as its positive and negative half-waves, framed at the positions given by "
         "len(data_posi), their qesmor vectors and frame means added. Returns float64 (F, 3) rows, or shape "
         "(0,) without frames.";
}

template <auto Impl>
Function row(const char* name, const char* description) {
  static_assert(Signature<decltype(Impl)>::arity == 0, "names needed for the parameters");
  return {name, {}, 0, &entry<Impl>, std::string(name) + "($module)\n--\n\n" + description};
}

// The public functions, in the order they are created at import.
const Function kFunctions[] = {
    framed_row<pitch_direct_impl<qp::DVec>>(
        "calc_Pitch_core_cy", kOneSignal, kDirectParams,
        "Direct, frame-by-frame pitch track of `data`: per frame the qesmor vector over the lags in "
        "`search_sample`, a moving average over `qesmor_smooth` lags, one peak chosen by "
        "`pitch_detect_mode` ('score', 'static', 'maximum' or 'peak', with `pitch_detect_thre`), refined by "
        "`interpolator_mode` ('parabolic', 'gaussian', 'centroid' or 'no'; `pp_mode` 'threshold_diff' "
        "subtracts the vector's minimum first for the last two). Returns float64 (F, 2) rows "
        "[fs / lag, peak value / frame mean], [nan, nan] where no peak is found, or shape (0,) without frames."),
    framed_row<pitch_direct_impl<qp::DVec, qp::DVec>>(
        "calc_Pitch_negaposi_core_cy", kTwoSignals, kDirectParams,
        "calc_Pitch_core_cy for a signal given as its positive and negative half-waves: both are framed at "
        "the positions given by len(data_posi) (data_nega cut like a slice), their qesmor vectors and frame "
        "means are added, and the summed vector goes through the same smoothing, detection and refinement. "
        "Returns float64 (F, 2) rows, or shape (0,) without frames."),
    framed_row<qesmor_map_impl<qp::DVec>>(
        "calc_qesmor_core_cy", kOneSignal, kMapParams,
        "Frame-by-lag qesmor map and frame means of a signal. `data` is cut into frames of "
        "`window_size` samples whose ends run over range(window_size, len(data), hop_size); for "
        "each frame and each lag L in `search_sample` the map holds the mean over the overlap of "
        "min(frame[j], frame[j + L]) (0.0 when L >= window_size). Returns (map, means): float64 "
        "arrays of shapes (F, K) and (F,), or two arrays of shape (0,) when there is no frame."),
    framed_row<qesmor_map_impl<qp::DVec, qp::DVec>>(
        "calc_qesmor_negaposi_core_cy", kTwoSignals, kMapParams,
        "Two-polarity qesmor map: frames of `data_posi` and `data_nega` at the same positions (counted from "
        "len(data_posi); data_nega cut like a slice), each row the sum of the two qesmor vectors and each "
        "mean the sum of the two frame means. Returns (map, means) as calc_qesmor_core_cy does."),
    row<prev_first_up_zero_impl>(
        "_prev_first_up_zero",
        {"data"},
        "Copy of `data` with every element before the start of its first rise set to 0.0, or filled with "
        "1/len(data) when it never rises (a step into or out of NaN is not a rise). Returns a new float64 "
        "array; `data` is not modified."),
    row<create_transition_matrix_impl>(
        "create_transition_matrix_cy",
        {"n_periods", "fs", "sigma"},
        "Pitch-transition matrix over `n_periods` period states (state r is the period r + 1 samples): "
        "entry (i, j), the move from state j to state i, is a Gaussian of width `sigma` octaves in "
        "log2(fs / period), each column divided by its sum. Returns float64 (n_periods, n_periods), "
        "column-stochastic."),
    framed_row<pitch_bayes_impl<qp::DVec, qp::DVec>>(
        "calc_Pitch_bayes_negaposi_core_cy", kTwoSignals, kBayesParams,
        two_polarity_tracking("calc_Pitch_bayes_core_cy")),
    framed_row<pitch_bayes_impl<qp::DVec>>(
        "calc_Pitch_bayes_core_cy", kOneSignal, kBayesParams,
        "Pitch track by a Bayesian forward filter over the candidate lags (consecutive and increasing): "
        "each frame's observation is its flank-suppressed qesmor vector scaled to sum 1, the belief is "
        "predicted through the transition block (create_transition_matrix_cy(window_size // 2, fs, sigma) "
        "at the lags' rows and columns), raised to `alpha`, multiplied by the observation and renormalised; "
        "its argmax is refined. Returns float64 (F, 3) rows [f0, strength, posterior], NaN rows where "
        "candidate 0 wins, or shape (0,) without frames."),
    row<viterbi_impl>(
        "viterbi_cy",
        {"log_likelihood", "log_A", "beta"},
        "Best state path through `log_likelihood` (frames x states) under log transition scores `log_A` "
        "(row = earlier state, column = later state; at least states x states). Frames after the first "
        "weigh their observation by `beta`; ties go to the smaller state. Returns an intp array with one "
        "state per frame (empty without frames)."),
    framed_row<pitch_viterbi_impl<qp::DVec, qp::DVec>>(
        "calc_Pitch_viterbi_negaposi_core_cy", kTwoSignals, kViterbiParams,
        two_polarity_tracking("calc_Pitch_viterbi_core_cy")),
    framed_row<pitch_viterbi_impl<qp::DVec>>(
        "calc_Pitch_viterbi_core_cy", kOneSignal, kViterbiParams,
        "Pitch track decoded over all frames at once: each frame's observation log-probabilities "
        "(flank-suppressed qesmor vector scaled to sum 1, floored by 1e-300) and the log transition block "
        "go through viterbi_cy; each frame's state is refined. Returns float64 (F, 3) rows "
        "[f0, peak ratio, probability], NaN rows for state 0. Raises ZeroDivisionError for a zero frame "
        "mean at a voiced frame, ValueError when there is no frame."),
};

// The private module's own hooks, after its copy of the public functions.
const Function kHooks[] = {
    row<statistic_impl<qp::mean_1d>>("_mean_1d", {"v"}, "Mean in index order."),
    row<statistic_impl<qp::min_1d>>("_min_1d", {"v"}, "Minimum; NaN never wins."),
    row<statistic_impl<qp::sum_1d>>("_sum_1d", {"v"}, "Sum in index order."),
    row<statistic_impl<qp::argmax_1d>>("_argmax_1d", {"v"}, "First index of the maximum."),
    row<first_peak_above_impl>("_first_peak_above", {"v", "threshold"},
                               "First peak followed by more than threshold."),
    row<statistic_impl<qp::peak_detect_maximum>>("_peak_detect_maximum_cy", {"v"}, "The 'maximum' detection rule."),
    row<statistic_impl<qp::calc_peak_max_value>>("_calc_peak_max_value", {"v"}, "Highest peak value."),
    row<periodicity_impl>("_periodicity_1d_core_cy", {"x", "lags", "target"}, "Qesmor vector of one frame.", 2),
    row<interpolate_impl<qp::interp_parabolic>>("_interp_parabolic", {"v", "peak"}, "(offset, value)."),
    row<interpolate_impl<qp::interp_gaussian>>("_interp_gaussian", {"v", "peak"}, "(offset, value)."),
    row<interpolate_impl<qp::interp_centroid>>("_interp_centroid", {"v", "peak"}, "(offset, value)."),
    row<running_map_impl>("_running_map", {"data", "window_size", "hop_size", "lags", "target"},
                          "The running-sum path alone: (map, means, path), path 0 (NaN rows) frame by frame, "
                          "1 running sums in doubles, 2 in integers.", 4),
    row<qesmor_frames_at_impl>("_qesmor_frames_at", {"data", "windows", "starts", "lags", "polarity"},
                               "Qesmor values of the frames at `starts`, of windows[t] samples (or "
                               "windows[0] for all), each at its own lags "
                               "(len(lags) // len(starts) per frame, flat), of the positive (1), "
                               "negative (-1) or both (0) half-waves."),
    row<running_sums_exact_impl>("_running_sums_exact", {"x"},
                                 "Whether the certificate proves running sums over x exact."),
    row<viterbi_on_impl>("viterbi", {"log_likelihood", "log_A", "beta", "target"}, "viterbi_cy on a target.", 3),
    row<matvec_impl>("matvec", {"a", "v", "target"}, "a @ v with each row summed in order.", 2),
    framed_row<bayes_halves_impl>(
        "_bayes_both_core", kOneSignal, kBayesParams,
        "calc_Pitch_bayes_negaposi_core_cy(*_half_waves(data), ...) bit for bit, without building the "
        "half-waves."),
    framed_row<viterbi_halves_impl>(
        "_viterbi_both_core", kOneSignal, kViterbiParams,
        "calc_Pitch_viterbi_negaposi_core_cy(*_half_waves(data), ...) bit for bit, without building the "
        "half-waves."),
    framed_row<bayes_resume_impl<qp::DVec>>(
        "_bayes_resume", kOneSignal, kResumeParams,
        "calc_Pitch_bayes_core_cy resumed from `belief` through the transposed block `transition_t`; "
        "returns (rows, belief after the last frame)."),
    framed_row<bayes_resume_impl<qp::DVec, qp::DVec>>(
        "_bayes_negaposi_resume", kTwoSignals, kResumeParams,
        "_bayes_resume for the two half-waves of a signal."),
    row<periodicity_check_impl>("_periodicity_check", {"x", "starts", "periods", "widths"},
                                "Bounded strength 1 - sum|a-b| / sum(|a|+|b|) of each frame (widths: one "
                                "for all or one per frame) at each of its fractional periods (a row per "
                                "candidate); NaN where it has none."),
    row<highpass_zero_phase_impl>("_highpass_zero_phase", {"x", "sos", "zi", "settle"},
                                  "The cascade sos run forward then backward over x, each pass from the "
                                  "steady state zi times its first sample; settle samples bring a state "
                                  "to the one-pass state (0: one chain)."),
    row<highpass_forward_impl>("_highpass_forward", {"x", "sos", "state"},
                               "The cascade sos run forward over x from `state` (sections x 2); returns "
                               "(output, state after the last sample)."),
    row<highpass_on_grid_impl>("_highpass_on_grid", {"x", "sos", "zi", "settle", "grid_bits"},
                               "_highpass_zero_phase, its output then rounded to multiples of "
                               "2**-grid_bits (ties to even; 0: not rounded)."),
    row<resample_poly_impl>("_resample_poly", {"x", "pre", "padded", "h", "up", "down", "first", "count"},
                            "Output samples [first, first + count) of upfirdn(h, x continued by its end "
                            "samples to `padded` from `pre` on, up, down), bit for bit; h phase by phase, "
                            "each reversed, as upfirdn holds it."),
    row<subtract_interpolated_impl>("_subtract_interpolated", {"x", "gain", "low", "up", "down", "start"},
                                    "x[k] * gain minus low linearly interpolated at (start + k * up) / down, "
                                    "its whole positions read as they are."),
    row<zero_runs_impl>("_zero_runs", {"x", "min_run"},
                        "(starts, stops) of the runs of at least min_run exact zeros in x."),
    row<group_means_impl>("_group_means", {"x", "factor"},
                          "Means of `factor` consecutive samples of each row of x (rows, n), summed "
                          "left to right: shape (rows, n // factor)."),
    row<half_waves_impl>("_half_waves", {"x"},
                         "(maximum(x, 0), maximum(-x, 0)) in one pass, zeros positive."),
    row<voicing_posterior_impl>("_voicing_posterior", {"score", "switch_cost", "smooth"},
                                "Posterior of the voiced state of a two-state chain from per-frame "
                                "log-odds: forward only, or forward and backward when smooth."),
    row<voicing_forward_impl>("_voicing_forward", {"score", "switch_cost", "state"},
                              "_voicing_posterior forward only, resumed from `state` ((v, u) after the "
                              "previous frame, or None before the first); returns (posterior, state "
                              "after the last frame).", 2),
    row<targets_impl>("targets", "Names of the kernel targets this CPU runs, the scalar one first."),
    row<active_target_impl>("active_target", "The target this module's periodicity kernels use."),
    row<kernel_targets_impl>("kernel_targets",
                             "The target dispatch chose for each group of kernels (when none is forced)."),
    row<use_shortcuts_impl>("use_shortcuts", {"on"},
                            "Allows (True, the default) or forbids the running sums and the pruned decoder step."),
    row<use_target_impl>("use_target", {"name"},
                         "Runs this module's copies of the public functions on a target (None: the best)."),
};

// ------------------------------------------------------------ invocation

void add_traceback(const ModuleSpec& module, const Function& f) {
  const std::string name = std::string(module.name) + "." + f.name;
  _PyTraceback_Add(name.c_str(), module.traceback_file, 1);
}

void raise_count_error(const Function& f, Py_ssize_t given) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(f.params.size());
  const bool exact = f.required == count;
  const Py_ssize_t expected = exact || given > count ? count : f.required;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f.name,
               exact ? "exactly" : given > count ? "at most" : "at least", expected, expected == 1 ? "" : "s",
               given);
}

// Fills `values` with borrowed references, positional then by keyword.
bool collect(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             PyObject** values) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(f.params.size());
  const Param* params = f.params.begin();
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    if (nargs < f.required || nargs > count) {
      raise_count_error(f, nargs);
      return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) values[i] = i < nargs ? args[i] : Py_None;
    return true;
  }
  if (nargs > count) {
    raise_count_error(f, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  Py_ssize_t matched = 0;
  for (Py_ssize_t i = nargs; i < count; ++i) {
    values[i] = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
        values[i] = args[nargs + k];
        ++matched;
        break;
      }
    }
    if (!values[i] && i >= f.required) values[i] = Py_None;
    if (!values[i]) {
      raise_count_error(f, i);
      return false;
    }
  }
  if (matched == nkw) return true;
  // Some keyword did not fill a free parameter: report the first such one.
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
      return false;
    }
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) index = i;
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name, key);
      return false;
    }
    if (index < nargs) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f.name, key);
      return false;
    }
  }
  return true;
}

PyObject* run(const ModuleSpec& module, const Function& f, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
  PyObject* values[kMaxParams];
  if (!collect(f, args, nargs, kwnames, values)) return nullptr;
  Arguments converted;
  int index = 0;
  for (const Param& param : f.params) {
    if (!converted.convert(index, param, values[index])) return nullptr;
    ++index;
  }
  index = 0;
  for (const Param& param : f.params) {
    if (param.kind == Kind::Str && !Arguments::check_str(param, values[index])) return nullptr;
    ++index;
  }
  // Marks the call for `compute`, and unmarks it on every way out.
  struct Marked {
    bool previous = t_release_lock;
    explicit Marked(bool release) { t_release_lock = release; }
    ~Marked() { t_release_lock = previous; }
  } marked(module.release_lock);
  try {
    return f.entry(converted);
  } catch (const qp::Error& e) {
    PyObject* type = PyExc_Exception;
    switch (e.kind()) {
      case qp::Error::Kind::Exception:
        type = PyExc_Exception;
        break;
      case qp::Error::Kind::ValueError:
        type = PyExc_ValueError;
        break;
      case qp::Error::Kind::OverflowError:
        type = PyExc_OverflowError;
        break;
      case qp::Error::Kind::ZeroDivisionError:
        type = PyExc_ZeroDivisionError;
        break;
    }
    PyErr_SetString(type, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return nullptr;
}

using RowAt = const Function& (*)(std::size_t);

const Function& public_row(std::size_t i) { return kFunctions[i]; }

constexpr std::size_t kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);
constexpr std::size_t kHookCount = sizeof(kHooks) / sizeof(kHooks[0]);

// The private module: a copy of every public row, then its hooks.
const Function& private_row(std::size_t i) {
  return i < kFunctionCount ? kFunctions[i] : kHooks[i - kFunctionCount];
}

template <const ModuleSpec& M, RowAt Row, std::size_t I>
PyObject* invoke(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Function& f = Row(I);
  PyObject* result = run(M, f, args, nargs, kwnames);
  if (!result) add_traceback(M, f);
  return result;
}

template <const ModuleSpec& M, RowAt Row, std::size_t... I>
std::array<PyMethodDef, sizeof...(I)> make_methods(std::index_sequence<I...>) {
  return {{PyMethodDef{Row(I).name,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&invoke<M, Row, I>)),
                       METH_FASTCALL | METH_KEYWORDS, Row(I).doc.c_str()}...}};
}

std::array<PyMethodDef, kFunctionCount> g_public_methods =
    make_methods<kPublic, public_row>(std::make_index_sequence<kFunctionCount>{});
std::array<PyMethodDef, kFunctionCount + kHookCount> g_private_methods =
    make_methods<kPrivate, private_row>(std::make_index_sequence<kFunctionCount + kHookCount>{});

// ------------------------------------------------------------ module set-up

struct Module {
  const ModuleSpec& spec;
  PyMethodDef* methods;
  std::size_t count;
  PyObject* instance;   // strong: the one module object ever executed
  int64_t interpreter;
};

Module g_public = {kPublic, g_public_methods.data(), g_public_methods.size(), nullptr, -1};
Module g_private = {kPrivate, g_private_methods.data(), g_private_methods.size(), nullptr, -1};

bool warn_on_version_mismatch(const ModuleSpec& spec) {
  int major = 0;
  int minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return true;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, spec.name, "does not match", major, minor) == 0;
}

bool import_numpy_api() {
  if (_import_array() >= 0) return true;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
  if (value) {
    PyObject *new_type, *new_value, *new_traceback;
    PyErr_Fetch(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
    Py_INCREF(value);
    PyException_SetContext(new_value, value);
    PyException_SetCause(new_value, value);  // keeps the library's own reason visible
    PyErr_Restore(new_type, new_value, new_traceback);
  }
  return false;
}

template <Module& M>
int exec_module(PyObject* module) {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (M.interpreter == -1) {
    M.interpreter = interpreter;
  } else if (interpreter != M.interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
  }
  if (M.instance) {
    if (M.instance == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", M.spec.short_name);
    return -1;
  }
  if (!warn_on_version_mismatch(M.spec)) return -1;
  if (!import_numpy_api()) return -1;

  Ref np(PyImport_ImportModule("numpy"));
  if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
  Ref module_name(PyUnicode_FromString(M.spec.name));
  if (!module_name) return -1;
  for (std::size_t i = 0; i < M.count; ++i) {
    PyMethodDef& method = M.methods[i];
    Ref function(PyCFunction_NewEx(&method, module, module_name.get()));
    if (!function || PyModule_AddObjectRef(module, method.ml_name, function.get()) < 0) return -1;
  }
  Ref test(PyDict_New());
  if (!test || PyModule_AddObjectRef(module, "__test__", test.get()) < 0) return -1;

  Py_INCREF(module);
  M.instance = module;
  return 0;
}

PyModuleDef_Slot g_public_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module<g_public>)},
    {0, nullptr},
};

PyModuleDef_Slot g_private_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module<g_private>)},
    {0, nullptr},
};

PyModuleDef g_public_definition = {
    PyModuleDef_HEAD_INIT,
    kPublic.short_name,
    "Frame-wise pitch estimation from the qesmor periodicity function (compiled core).",
    0, nullptr, g_public_slots, nullptr, nullptr, nullptr,
};

PyModuleDef g_private_definition = {
    PyModuleDef_HEAD_INIT,
    kPrivate.short_name,
    "Test and benchmark hooks of qesmorPitch: the public functions on a chosen kernel target, "
    "computed without the interpreter lock, and the internal routines one by one.",
    0, nullptr, g_private_slots, nullptr, nullptr, nullptr,
};

}  // namespace

// Each extension file exports only its own initialisation function.
PyMODINIT_FUNC PyInit_cy_impl() {
  return PyModuleDef_Init(&g_public_definition);
}

PyMODINIT_FUNC PyInit__kernels() {
  return PyModuleDef_Init(&g_private_definition);
}
