// Hooks of the private module qesmorPitch._kernels, which also carries a
// copy of the public function table (module.cpp compiled again). They
// expose the internal routines so the tests can check them one by one, and
// let tests and benchmarks choose the kernel target. Nothing here is part of
// the public surface; arguments are converted loosely (1-D arrays become
// float64 or intp, strides kept).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL qp_ARRAY_API
#define NO_IMPORT_ARRAY  // module.cpp imports the array API for this module
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

#include <new>
#include <vector>

#include "peaks.hpp"
#include "kernels.hpp"
#include "periodicity.hpp"
#include "framing.hpp"
#include "tracking.hpp"
#include "viterbi.hpp"

namespace {

// A 1-D array argument with its strides kept (converted only when the dtype
// differs), held for the duration of the call.
template <class T, int TypeNum>
struct Array {
  PyObject* array = nullptr;
  ~Array() { Py_XDECREF(array); }

  static int convert(PyObject* object, void* address) {
    auto* self = static_cast<Array*>(address);
    self->array = PyArray_FROMANY(object, TypeNum, 1, 1, NPY_ARRAY_ALIGNED);
    return self->array ? 1 : 0;
  }
  qp::Vec<T> view() const {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    return {static_cast<const char*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
  }
};

using Doubles = Array<double, NPY_DOUBLE>;
using Indices = Array<qp::index_t, NPY_INTP>;

template <class Result, Result (*F)(qp::DVec)>
PyObject* unary(PyObject*, PyObject* args) {
  Doubles v;
  if (!PyArg_ParseTuple(args, "O&", &Doubles::convert, &v)) return nullptr;
  const Result r = F(v.view());
  if constexpr (std::is_same_v<Result, double>) {
    return PyFloat_FromDouble(r);
  } else {
    return PyLong_FromSsize_t(r);
  }
}

PyObject* first_peak_above(PyObject*, PyObject* args) {
  Doubles v;
  double threshold = 0.0;
  if (!PyArg_ParseTuple(args, "O&d", &Doubles::convert, &v, &threshold)) return nullptr;
  return PyLong_FromSsize_t(qp::first_peak_above(v.view(), threshold));
}

template <qp::Refinement (*F)(qp::DVec, qp::index_t)>
PyObject* interpolate(PyObject*, PyObject* args) {
  Doubles v;
  Py_ssize_t peak = 0;
  if (!PyArg_ParseTuple(args, "O&n", &Doubles::convert, &v, &peak)) return nullptr;
  const qp::DVec view = v.view();
  // The cores only refine indices inside the vector.
  if (peak < 0 || peak >= view.size) {
    PyErr_SetString(PyExc_IndexError, "peak index out of range");
    return nullptr;
  }
  const qp::Refinement r = F(view, peak);
  return Py_BuildValue("(dd)", r.offset, r.value);
}

// The target named by `name` (None: the active one); null with an error set
// when this CPU cannot run it.
const qp::kernels::Target* target_named(const char* name) {
  if (!name) return &qp::kernels::active();
  const qp::kernels::Target* t = qp::kernels::find(name);
  if (!t) PyErr_Format(PyExc_ValueError, "target %s is not supported here", name);
  return t;
}

PyObject* periodicity(PyObject*, PyObject* args) {
  Doubles x;
  Indices lags;
  const char* name = nullptr;
  if (!PyArg_ParseTuple(args, "O&O&|z", &Doubles::convert, &x, &Indices::convert, &lags, &name)) return nullptr;
  const qp::kernels::Target* target = target_named(name);
  if (!target) return nullptr;
  try {
    qp::check_lags(lags.view());
    npy_intp size = lags.view().size;
    PyObject* out = PyArray_SimpleNew(1, &size, NPY_DOUBLE);
    if (!out) return nullptr;
    std::vector<double> gather;
    qp::qesmor_frame(x.view(), lags.view(), static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out))),
                     gather, *target);
    return out;
  } catch (const qp::Error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

PyObject* viterbi(PyObject*, PyObject* args) {
  PyObject *l_object, *a_object;
  double beta = 0.0;
  const char* name = nullptr;
  if (!PyArg_ParseTuple(args, "OOd|z", &l_object, &a_object, &beta, &name)) return nullptr;
  const qp::kernels::Target* target = target_named(name);
  if (!target) return nullptr;
  PyObject* l = PyArray_FROMANY(l_object, NPY_DOUBLE, 2, 2, NPY_ARRAY_ALIGNED);
  PyObject* a = l ? PyArray_FROMANY(a_object, NPY_DOUBLE, 2, 2, NPY_ARRAY_ALIGNED) : nullptr;
  PyObject* path = nullptr;
  if (a) {
    auto matrix = [](PyObject* o) {
      auto* m = reinterpret_cast<PyArrayObject*>(o);
      return qp::DMat{static_cast<const char*>(PyArray_DATA(m)), PyArray_DIM(m, 0), PyArray_DIM(m, 1),
                      PyArray_STRIDE(m, 0), PyArray_STRIDE(m, 1)};
    };
    try {
      qp::check_decoder_shapes(matrix(l), matrix(a));
      npy_intp frames = PyArray_DIM(reinterpret_cast<PyArrayObject*>(l), 0);
      path = PyArray_SimpleNew(1, &frames, NPY_INTP);
      if (path) {
        qp::viterbi(matrix(l), matrix(a), beta,
                    static_cast<qp::index_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(path))), *target);
      }
    } catch (const qp::Error& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    }
  }
  Py_XDECREF(l);
  Py_XDECREF(a);
  return path;
}

// out = a @ v for a square matrix a, computed from its transpose as the
// Bayesian prediction does.
PyObject* matvec(PyObject*, PyObject* args) {
  PyObject *a_object, *v_object;
  const char* name = nullptr;
  if (!PyArg_ParseTuple(args, "OO|z", &a_object, &v_object, &name)) return nullptr;
  const qp::kernels::Target* target = target_named(name);
  if (!target) return nullptr;
  // The transpose, C-contiguous: at[j * n + i] = a[i][j].
  PyObject* a = PyArray_FROMANY(a_object, NPY_DOUBLE, 2, 2, NPY_ARRAY_DEFAULT);
  PyObject* transposed = a ? PyArray_Transpose(reinterpret_cast<PyArrayObject*>(a), nullptr) : nullptr;
  PyObject* at = transposed ? PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(transposed), NPY_CORDER) : nullptr;
  Py_XDECREF(transposed);
  PyObject* v = at ? PyArray_FROMANY(v_object, NPY_DOUBLE, 1, 1, NPY_ARRAY_DEFAULT) : nullptr;
  PyObject* out = nullptr;
  if (v) {
    npy_intp n = PyArray_DIM(reinterpret_cast<PyArrayObject*>(a), 0);
    if (PyArray_DIM(reinterpret_cast<PyArrayObject*>(a), 1) != n || PyArray_DIM(reinterpret_cast<PyArrayObject*>(v), 0) != n) {
      PyErr_SetString(PyExc_ValueError, "needs a square matrix and a vector of its size");
    } else if ((out = PyArray_SimpleNew(1, &n, NPY_DOUBLE))) {
      qp::kernels::matvec_transposed(static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(at))), n,
                            static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(v))),
                            static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out))), *target);
    }
  }
  Py_XDECREF(a);
  Py_XDECREF(at);
  Py_XDECREF(v);
  return out;
}

PyObject* targets(PyObject*, PyObject*) {
  PyObject* names = PyList_New(0);
  for (int i = 0; names && i < qp::kernels::target_count(); ++i) {
    const qp::kernels::Target& t = qp::kernels::target(i);
    if (!t.supported()) continue;
    PyObject* name = PyUnicode_FromString(t.name);
    if (!name || PyList_Append(names, name) < 0) {
      Py_XDECREF(name);
      Py_CLEAR(names);
      break;
    }
    Py_DECREF(name);
  }
  return names;
}

PyObject* active_target(PyObject*, PyObject*) {
  return PyUnicode_FromString(qp::kernels::active().name);
}

PyObject* use_target(PyObject*, PyObject* args) {
  const char* name = nullptr;
  if (!PyArg_ParseTuple(args, "z", &name)) return nullptr;
  const qp::kernels::Target* target = target_named(name);
  if (!target) return nullptr;
  // Only this module's copy of the dispatch changes; cy_impl keeps its own.
  qp::kernels::set_override(name ? target : nullptr);
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef qp_private_methods[] = {
    {"_mean_1d", unary<double, qp::mean_1d>, METH_VARARGS, nullptr},
    {"_min_1d", unary<double, qp::min_1d>, METH_VARARGS, nullptr},
    {"_sum_1d", unary<double, qp::sum_1d>, METH_VARARGS, nullptr},
    {"_argmax_1d", unary<qp::index_t, qp::argmax_1d>, METH_VARARGS, nullptr},
    {"_first_peak_above", first_peak_above, METH_VARARGS, nullptr},
    {"_peak_detect_maximum_cy", unary<qp::index_t, qp::peak_detect_maximum>, METH_VARARGS, nullptr},
    {"_calc_peak_max_value", unary<double, qp::calc_peak_max_value>, METH_VARARGS, nullptr},
    {"_periodicity_1d_core_cy", periodicity, METH_VARARGS, nullptr},
    {"_interp_parabolic", interpolate<qp::interp_parabolic>, METH_VARARGS, nullptr},
    {"_interp_gaussian", interpolate<qp::interp_gaussian>, METH_VARARGS, nullptr},
    {"_interp_centroid", interpolate<qp::interp_centroid>, METH_VARARGS, nullptr},
    {"viterbi", viterbi, METH_VARARGS, "viterbi(log_likelihood, log_A, beta, target=None)"},
    {"matvec", matvec, METH_VARARGS, "matvec(a, v, target=None): a @ v with each row summed in order"},
    {"targets", targets, METH_NOARGS, "Names of the kernel targets this CPU runs, the scalar one first."},
    {"active_target", active_target, METH_NOARGS, "The target this module's functions use."},
    {"use_target", use_target, METH_VARARGS,
     "use_target(name): run this module's copies of the public functions on a target (None: the best)."},
    {nullptr, nullptr, 0, nullptr},
};
