// qesmorPitch.cy_impl: the Python surface of the pitch estimators.
//
// This is the only unit of the module that touches the CPython and NumPy C
// APIs. Every exported function is a row of the function table below: its
// name, its parameters with their kinds, and an entry that takes the
// converted arguments, allocates the NumPy results and calls a plain C++
// core. Argument collection, counting, conversion, the release of buffer
// views, the translation of C++ errors and the traceback entry are written
// once, in `invoke`, and shared by all rows.
//
// The interpreter lock is held for the whole of every call.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL qp_ARRAY_API
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "bayes.hpp"
#include "direct.hpp"
#include "framing.hpp"
#include "peaks.hpp"
#include "periodicity.hpp"
#include "tracking.hpp"
#include "viterbi.hpp"
#include "views.hpp"

#if PY_VERSION_HEX >= 0x030D0000
// Moved out of the public headers in 3.13 but still exported.
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char*, const char*, int);
#endif

static_assert(sizeof(qp::index_t) == sizeof(Py_ssize_t), "index type must match Py_ssize_t");

#ifdef QP_PRIVATE_MODULE
extern PyMethodDef qp_private_methods[];  // kernels_module.cpp
#endif

namespace {

#ifdef QP_PRIVATE_MODULE
// The same table compiled into the private module qesmorPitch._kernels,
// which adds test and benchmark hooks (among them forcing a kernel target)
// without touching the public module.
constexpr const char* kModuleName = "qesmorPitch._kernels";
constexpr const char* kTracebackFile = "qesmorPitch/_kernels";
constexpr const char* kShortName = "_kernels";
constexpr const char* kReinitialised =
    "Module '_kernels' has already been imported. Re-initialisation is not supported.";
#else
constexpr const char* kModuleName = "qesmorPitch.cy_impl";
constexpr const char* kTracebackFile = "qesmorPitch/cy_impl";
constexpr const char* kShortName = "cy_impl";
constexpr const char* kReinitialised =
    "Module 'cy_impl' has already been imported. Re-initialisation is not supported.";
#endif

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

  qp::DVec dvec(int i) const { return {bases_[i], shapes_[i][0], strides_[i][0]}; }
  qp::IVec ivec(int i) const { return {bases_[i], shapes_[i][0], strides_[i][0]}; }
  qp::DMat dmat(int i) const {
    return {bases_[i], shapes_[i][0], shapes_[i][1], strides_[i][0], strides_[i][1]};
  }
  double real(int i) const { return reals_[i]; }
  int integer(int i) const { return ints_[i]; }
  PyObject* str(int i) const { return objects_[i]; }

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
};

// ----------------------------------------------------------------- entries
//
// One per exported function: read the converted arguments, allocate the
// results, run the core. They return a new reference or null with an error
// set, and may throw qp::Error, which `invoke` translates.

PyObject* empty_doubles() {
  const npy_intp shape[1] = {0};
  return PyArray_SimpleNew(1, const_cast<npy_intp*>(shape), NPY_DOUBLE);
}

// Keyword arguments are compared by exact string equality; None matches none.
template <class E, std::size_t N>
E resolve(PyObject* keyword, const std::pair<const char*, E> (&choices)[N], E unknown) {
  if (keyword == Py_None) return unknown;
  for (const auto& choice : choices) {
    if (PyUnicode_CompareWithASCIIString(keyword, choice.first) == 0) return choice.second;
  }
  return unknown;
}

bool is_keyword(PyObject* keyword, const char* text) {
  return keyword != Py_None && PyUnicode_CompareWithASCIIString(keyword, text) == 0;
}

qp::RefineMode refine_mode(PyObject* pp_mode, PyObject* interpolator_mode) {
  static const std::pair<const char*, qp::Interpolator> choices[] = {
      {"parabolic", qp::Interpolator::Parabolic},
      {"gaussian", qp::Interpolator::Gaussian},
      {"centroid", qp::Interpolator::Centroid},
      {"no", qp::Interpolator::None},
  };
  qp::RefineMode mode;
  mode.interpolator = resolve(interpolator_mode, choices, qp::Interpolator::Unknown);
  mode.threshold_diff = is_keyword(pp_mode, "threshold_diff");
  return mode;
}

// The (map, means) pair of the periodicity maps.
PyObject* qesmor_map_result(qp::FrameSource& source) {
  const npy_intp frames = source.frames();
  if (frames == 0) {
    Ref map(empty_doubles());
    Ref means(empty_doubles());
    if (!map || !means) return nullptr;
    return PyTuple_Pack(2, map.get(), means.get());
  }
  const npy_intp map_shape[2] = {frames, source.lag_count()};
  Ref map = new_doubles(2, map_shape);
  Ref means = new_doubles(1, &frames);
  if (!map || !means) return nullptr;
  qp::qesmor_map(source, out_of(map.get()), out_of(means.get()));
  return PyTuple_Pack(2, map.get(), means.get());
}

// An (F, columns) track, or the empty (0,) array when there is no frame.
Ref new_track(npy_intp frames, npy_intp columns) {
  if (frames == 0) return Ref(empty_doubles());
  const npy_intp shape[2] = {frames, columns};
  return new_doubles(2, shape);
}

// The one or two signals of a call: its first `signals` arguments.
template <int signals>
qp::Framing framing_of(const Arguments& a, int window_size, int hop_size) {
  if constexpr (signals == 1) {
    return qp::Framing(a.dvec(0), window_size, hop_size);
  } else {
    return qp::Framing(a.dvec(0), a.dvec(1), window_size, hop_size);
  }
}

// The map entries share one body: `signals` data arrays, then window_size,
// hop_size and search_sample.
template <int signals>
PyObject* qesmor_map_entry(const Arguments& a) {
  const int window_size = a.integer(signals);
  const int hop_size = a.integer(signals + 1);
  const qp::IVec lags = a.ivec(signals + 2);
  qp::check_window(window_size);
  qp::check_hop(hop_size);
  qp::check_lags(lags);
  qp::FrameSource source(framing_of<signals>(a, window_size, hop_size), lags);
  return qesmor_map_result(source);
}

// calc_Pitch_core_cy and its two-polarity form: `signals` data arrays, then
// fs, window_size, hop_size, search_sample, pp_mode, qesmor_smooth,
// pitch_detect_mode, pitch_detect_thre, interpolator_mode.
template <int signals>
PyObject* pitch_direct_entry(const Arguments& a) {
  static const std::pair<const char*, qp::DetectMode> detect_modes[] = {
      {"score", qp::DetectMode::Score},
      {"static", qp::DetectMode::Static},
      {"maximum", qp::DetectMode::Maximum},
      {"peak", qp::DetectMode::Peak},
  };
  const int o = signals;
  qp::DirectParams params;
  params.fs = a.real(o);
  const int window_size = a.integer(o + 1);
  const int hop_size = a.integer(o + 2);
  const qp::IVec lags = a.ivec(o + 3);
  params.smooth = a.integer(o + 5);
  params.detect = resolve(a.str(o + 6), detect_modes, qp::DetectMode::Unknown);
  params.threshold = a.real(o + 7);
  params.refine = refine_mode(a.str(o + 4), a.str(o + 8));

  qp::check_smoothing(lags.size, params.smooth);
  qp::check_window(window_size);
  qp::check_hop(hop_size);
  qp::check_lags(lags);
  qp::FrameSource source(framing_of<signals>(a, window_size, hop_size), lags);
  Ref rows = new_track(source.frames(), 2);
  if (!rows) return nullptr;
  qp::pitch_direct(source, params, out_of(rows.get()));
  return rows.release();
}

PyObject* create_transition_matrix_entry(const Arguments& a) {
  const int n_periods = a.integer(0);
  qp::check_window(n_periods);
  const npy_intp shape[2] = {n_periods, n_periods};
  Ref matrix = new_doubles(2, shape);
  if (!matrix) return nullptr;
  qp::transition_matrix(n_periods, a.real(1), a.real(2), out_of(matrix.get()).data);
  return matrix.release();
}

// The tracking cores: `signals` data arrays, then fs, window_size, hop_size,
// search_sample, pp_mode, alpha or beta, sigma, interpolator_mode.
template <int signals>
PyObject* pitch_bayes_entry(const Arguments& a) {
  const int o = signals;
  qp::BayesParams params;
  params.fs = a.real(o);
  const int window_size = a.integer(o + 1);
  const int hop_size = a.integer(o + 2);
  const qp::IVec lags = a.ivec(o + 3);
  params.alpha = a.real(o + 5);
  params.sigma = a.real(o + 6);
  params.refine = refine_mode(a.str(o + 4), a.str(o + 7));

  qp::check_window(window_size);
  qp::check_hop(hop_size);
  qp::check_consecutive_lags(lags);
  qp::FrameSource source(framing_of<signals>(a, window_size, hop_size), lags);
  Ref rows = new_track(source.frames(), 3);
  if (!rows) return nullptr;
  qp::pitch_bayes(source, params, out_of(rows.get()));
  return rows.release();
}

PyObject* viterbi_entry(const Arguments& a) {
  const qp::DMat log_likelihood = a.dmat(0);
  qp::check_decoder_shapes(log_likelihood, a.dmat(1));
  const npy_intp frames = log_likelihood.rows;
  Ref path(PyArray_SimpleNew(1, const_cast<npy_intp*>(&frames), NPY_INTP));
  if (!path) return nullptr;
  qp::viterbi(log_likelihood, a.dmat(1), a.real(2),
              static_cast<qp::index_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(path.get()))));
  return path.release();
}

template <int signals>
PyObject* pitch_viterbi_entry(const Arguments& a) {
  const int o = signals;
  qp::ViterbiParams params;
  params.fs = a.real(o);
  const int window_size = a.integer(o + 1);
  const int hop_size = a.integer(o + 2);
  const qp::IVec lags = a.ivec(o + 3);
  params.beta = a.real(o + 5);
  params.sigma = a.real(o + 6);
  params.refine = refine_mode(a.str(o + 4), a.str(o + 7));

  qp::check_window(window_size);
  qp::check_hop(hop_size);
  qp::check_block_lags(lags, window_size);
  qp::FrameSource source(framing_of<signals>(a, window_size, hop_size), lags);
  Ref rows = new_track(source.frames(), 3);
  if (!rows) return nullptr;
  qp::pitch_viterbi(source, params, out_of(rows.get()));
  return rows.release();
}

PyObject* prev_first_up_zero_entry(const Arguments& a) {
  const qp::DVec data = a.dvec(0);
  if (!data.base) {
    // None converts to an empty view, but there is no array to copy.
    PyErr_SetString(PyExc_ValueError, "_prev_first_up_zero() needs a 1-D float64 array, got None");
    return nullptr;
  }
  const npy_intp size = data.size;
  Ref out = new_doubles(1, &size);
  if (!out) return nullptr;
  qp::prev_first_up_zero(data, out_of(out.get()).data);
  return out.release();
}

// ------------------------------------------------------------ the table

using Entry = PyObject* (*)(const Arguments&);

// A parameter list held by value, so a table row owns its parameters.
class Params {
 public:
  constexpr Params(std::initializer_list<Param> list) {
    for (const Param& p : list) items_[count_++] = p;
  }
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
  Entry entry;
  const char* doc;
};

constexpr Kind kDVec = Kind::DoubleVector;
constexpr Kind kIVec = Kind::IndexVector;
constexpr Kind kInt = Kind::Int;
constexpr Kind kReal = Kind::Double;
constexpr Kind kStr = Kind::Str;
constexpr Kind kDMat = Kind::DoubleMatrix;

// In the order the functions are created at import.
const Function kFunctions[] = {
    {"calc_Pitch_core_cy",
     {{"data", kDVec}, {"fs", kReal}, {"window_size", kInt}, {"hop_size", kInt}, {"search_sample", kIVec},
      {"pp_mode", kStr}, {"qesmor_smooth", kInt}, {"pitch_detect_mode", kStr}, {"pitch_detect_thre", kReal},
      {"interpolator_mode", kStr}},
     pitch_direct_entry<1>,
     "calc_Pitch_core_cy($module, data, fs, window_size, hop_size, search_sample, pp_mode, qesmor_smooth, "
     "pitch_detect_mode, pitch_detect_thre, interpolator_mode)\n--\n\n"
     "Direct, frame-by-frame pitch track of `data`: per frame the qesmor vector over the lags in "
     "`search_sample`, a moving average over `qesmor_smooth` lags, one peak chosen by "
     "`pitch_detect_mode` ('score', 'static', 'maximum' or 'peak', with `pitch_detect_thre`), refined by "
     "`interpolator_mode` ('parabolic', 'gaussian', 'centroid' or 'no'; `pp_mode` 'threshold_diff' "
     "subtracts the vector's minimum first for the last two). Returns float64 (F, 2) rows "
     "[fs / lag, peak value / frame mean], [nan, nan] where no peak is found, or shape (0,) without frames."},
    {"calc_Pitch_negaposi_core_cy",
     {{"data_posi", kDVec}, {"data_nega", kDVec}, {"fs", kReal}, {"window_size", kInt}, {"hop_size", kInt},
      {"search_sample", kIVec}, {"pp_mode", kStr}, {"qesmor_smooth", kInt}, {"pitch_detect_mode", kStr},
      {"pitch_detect_thre", kReal}, {"interpolator_mode", kStr}},
     pitch_direct_entry<2>,
     "calc_Pitch_negaposi_core_cy($module, data_posi, data_nega, fs, window_size, hop_size, search_sample, "
     "pp_mode, qesmor_smooth, pitch_detect_mode, pitch_detect_thre, interpolator_mode)\n--\n\n"
     "calc_Pitch_core_cy for a signal given as its positive and negative half-waves: both are framed at "
     "the positions given by len(data_posi) (data_nega cut like a slice), their qesmor vectors and frame "
     "means are added, and the summed vector goes through the same smoothing, detection and refinement. "
     "Returns float64 (F, 2) rows, or shape (0,) without frames."},
    {"calc_qesmor_core_cy",
     {{"data", kDVec}, {"window_size", kInt}, {"hop_size", kInt}, {"search_sample", kIVec}},
     qesmor_map_entry<1>,
     "calc_qesmor_core_cy($module, data, window_size, hop_size, search_sample)\n--\n\n"
     "Frame-by-lag qesmor map and frame means of a signal. `data` is cut into frames of "
     "`window_size` samples whose ends run over range(window_size, len(data), hop_size); for "
     "each frame and each lag L in `search_sample` the map holds the mean over the overlap of "
     "min(frame[j], frame[j + L]) (0.0 when L >= window_size). Returns (map, means): float64 "
     "arrays of shapes (F, K) and (F,), or two arrays of shape (0,) when there is no frame."},
    {"calc_qesmor_negaposi_core_cy",
     {{"data_posi", kDVec}, {"data_nega", kDVec}, {"window_size", kInt}, {"hop_size", kInt},
      {"search_sample", kIVec}},
     qesmor_map_entry<2>,
     "calc_qesmor_negaposi_core_cy($module, data_posi, data_nega, window_size, hop_size, search_sample)"
     "\n--\n\n"
     "Two-polarity qesmor map: frames of `data_posi` and `data_nega` at the same positions (counted from "
     "len(data_posi); data_nega cut like a slice), each row the sum of the two qesmor vectors and each "
     "mean the sum of the two frame means. Returns (map, means) as calc_qesmor_core_cy does."},
    {"_prev_first_up_zero",
     {{"data", kDVec}},
     prev_first_up_zero_entry,
     "_prev_first_up_zero($module, data)\n--\n\n"
     "Copy of `data` with every element before the start of its first rise set to 0.0, or filled with "
     "1/len(data) when it never rises (a step into or out of NaN is not a rise). Returns a new float64 "
     "array; `data` is not modified."},
    {"create_transition_matrix_cy",
     {{"n_periods", kInt}, {"fs", kReal}, {"sigma", kReal}},
     create_transition_matrix_entry,
     "create_transition_matrix_cy($module, n_periods, fs, sigma)\n--\n\n"
     "Pitch-transition matrix over `n_periods` period states (state r is the period r + 1 samples): "
     "entry (i, j), the move from state j to state i, is a Gaussian of width `sigma` octaves in "
     "log2(fs / period), each column divided by its sum. Returns float64 (n_periods, n_periods), "
     "column-stochastic."},
    {"calc_Pitch_bayes_negaposi_core_cy",
     {{"data_posi", kDVec}, {"data_nega", kDVec}, {"fs", kReal}, {"window_size", kInt}, {"hop_size", kInt},
      {"search_sample", kIVec}, {"pp_mode", kStr}, {"alpha", kReal}, {"sigma", kReal},
      {"interpolator_mode", kStr}},
     pitch_bayes_entry<2>,
     "calc_Pitch_bayes_negaposi_core_cy($module, data_posi, data_nega, fs, window_size, hop_size, "
     "search_sample, pp_mode, alpha, sigma, interpolator_mode)\n--\n\n"
     "calc_Pitch_bayes_core_cy for a signal given as its positive and negative half-waves, framed at the "
     "positions given by len(data_posi), their qesmor vectors and frame means added. Returns float64 "
     "(F, 3) rows, or shape (0,) without frames."},
    {"calc_Pitch_bayes_core_cy",
     {{"data", kDVec}, {"fs", kReal}, {"window_size", kInt}, {"hop_size", kInt}, {"search_sample", kIVec},
      {"pp_mode", kStr}, {"alpha", kReal}, {"sigma", kReal}, {"interpolator_mode", kStr}},
     pitch_bayes_entry<1>,
     "calc_Pitch_bayes_core_cy($module, data, fs, window_size, hop_size, search_sample, pp_mode, alpha, "
     "sigma, interpolator_mode)\n--\n\n"
     "Pitch track by a Bayesian forward filter over the candidate lags (consecutive and increasing): "
     "each frame's observation is its flank-suppressed qesmor vector scaled to sum 1, the belief is "
     "predicted through the transition block (create_transition_matrix_cy(window_size // 2, fs, sigma) "
     "at the lags' rows and columns), raised to `alpha`, multiplied by the observation and renormalised; "
     "its argmax is refined. Returns float64 (F, 3) rows [f0, strength, posterior], NaN rows where "
     "candidate 0 wins, or shape (0,) without frames."},
    {"viterbi_cy",
     {{"log_likelihood", kDMat}, {"log_A", kDMat}, {"beta", kReal}},
     viterbi_entry,
     "viterbi_cy($module, log_likelihood, log_A, beta)\n--\n\n"
     "Best state path through `log_likelihood` (frames x states) under log transition scores `log_A` "
     "(row = earlier state, column = later state; at least states x states). Frames after the first "
     "weigh their observation by `beta`; ties go to the smaller state. Returns an intp array with one "
     "state per frame (empty without frames)."},
    {"calc_Pitch_viterbi_negaposi_core_cy",
     {{"data_posi", kDVec}, {"data_nega", kDVec}, {"fs", kReal}, {"window_size", kInt}, {"hop_size", kInt},
      {"search_sample", kIVec}, {"pp_mode", kStr}, {"beta", kReal}, {"sigma", kReal},
      {"interpolator_mode", kStr}},
     pitch_viterbi_entry<2>,
     "calc_Pitch_viterbi_negaposi_core_cy($module, data_posi, data_nega, fs, window_size, hop_size, "
     "search_sample, pp_mode, beta, sigma, interpolator_mode)\n--\n\n"
     "calc_Pitch_viterbi_core_cy for a signal given as its positive and negative half-waves, framed at "
     "the positions given by len(data_posi), their qesmor vectors and frame means added. Returns float64 "
     "(F, 3) rows, or shape (0,) without frames."},
    {"calc_Pitch_viterbi_core_cy",
     {{"data", kDVec}, {"fs", kReal}, {"window_size", kInt}, {"hop_size", kInt}, {"search_sample", kIVec},
      {"pp_mode", kStr}, {"beta", kReal}, {"sigma", kReal}, {"interpolator_mode", kStr}},
     pitch_viterbi_entry<1>,
     "calc_Pitch_viterbi_core_cy($module, data, fs, window_size, hop_size, search_sample, pp_mode, beta, "
     "sigma, interpolator_mode)\n--\n\n"
     "Pitch track decoded over all frames at once: each frame's observation log-probabilities "
     "(flank-suppressed qesmor vector scaled to sum 1, floored by 1e-300) and the log transition block "
     "go through viterbi_cy; each frame's state is refined. Returns float64 (F, 3) rows "
     "[f0, peak ratio, probability], NaN rows for state 0. Raises ZeroDivisionError for a zero frame "
     "mean at a voiced frame, ValueError when there is no frame."},
};

constexpr std::size_t kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);

// ------------------------------------------------------------ invocation

void add_traceback(const Function& f) {
  const std::string name = std::string(kModuleName) + "." + f.name;
  _PyTraceback_Add(name.c_str(), kTracebackFile, 1);
}

void raise_count_error(const Function& f, Py_ssize_t given) {
  const Py_ssize_t expected = static_cast<Py_ssize_t>(f.params.size());
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f.name,
               "exactly", expected, expected == 1 ? "" : "s", given);
}

// Fills `values` with borrowed references, positional then by keyword.
bool collect(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             PyObject** values) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(f.params.size());
  const Param* params = f.params.begin();
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    if (nargs != count) {
      raise_count_error(f, nargs);
      return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) values[i] = args[i];
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

PyObject* run(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
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

template <std::size_t I>
PyObject* invoke(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Function& f = kFunctions[I];
  PyObject* result = run(f, args, nargs, kwnames);
  if (!result) add_traceback(f);
  return result;
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I)> make_methods(std::index_sequence<I...>) {
  return {{PyMethodDef{kFunctions[I].name,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&invoke<I>)),
                       METH_FASTCALL | METH_KEYWORDS, kFunctions[I].doc}...}};
}

std::array<PyMethodDef, kFunctionCount> g_methods = make_methods(std::make_index_sequence<kFunctionCount>{});

// ------------------------------------------------------------ module set-up

PyObject* g_module = nullptr;  // strong: the one module object ever executed
int64_t g_interpreter = -1;

bool warn_on_version_mismatch() {
  int major = 0;
  int minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return true;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor) == 0;
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

int exec_module(PyObject* module) {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_interpreter == -1) {
    g_interpreter = interpreter;
  } else if (interpreter != g_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
  }
  if (g_module) {
    if (g_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError, kReinitialised);
    return -1;
  }
  if (!warn_on_version_mismatch()) return -1;
  if (!import_numpy_api()) return -1;

  Ref np(PyImport_ImportModule("numpy"));
  if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
  Ref module_name(PyUnicode_FromString(kModuleName));
  if (!module_name) return -1;
  for (PyMethodDef& method : g_methods) {
    Ref function(PyCFunction_NewEx(&method, module, module_name.get()));
    if (!function || PyModule_AddObjectRef(module, method.ml_name, function.get()) < 0) return -1;
  }
  Ref test(PyDict_New());
  if (!test || PyModule_AddObjectRef(module, "__test__", test.get()) < 0) return -1;

  Py_INCREF(module);
  g_module = module;
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    kShortName,
    "Frame-wise pitch estimation from the qesmor periodicity function (compiled core).",
    0,
#ifdef QP_PRIVATE_MODULE
    qp_private_methods,
#else
    nullptr,
#endif
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

#ifdef QP_PRIVATE_MODULE
PyMODINIT_FUNC PyInit__kernels() {
  return PyModuleDef_Init(&g_definition);
}
#else
PyMODINIT_FUNC PyInit_cy_impl() {
  return PyModuleDef_Init(&g_definition);
}
#endif
