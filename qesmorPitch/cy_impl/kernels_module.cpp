// qesmorPitch._kernels: a private module that exposes the internal routines
// of the estimators so the test suite can check them one by one. It is not
// part of the public surface and makes no promises about its arguments
// beyond what the tests use: 1-D arrays converted to float64 (or intp for
// lags), strides kept.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

#include <new>

#include "peaks.hpp"
#include "periodicity.hpp"

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

PyObject* periodicity(PyObject*, PyObject* args) {
  Doubles x;
  Indices lags;
  if (!PyArg_ParseTuple(args, "O&O&", &Doubles::convert, &x, &Indices::convert, &lags)) return nullptr;
  try {
    qp::check_lags(lags.view());
  } catch (const qp::Error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
    return nullptr;
  }
  npy_intp size = lags.view().size;
  PyObject* out = PyArray_SimpleNew(1, &size, NPY_DOUBLE);
  if (!out) return nullptr;
  qp::qesmor_frame(x.view(), lags.view(),
                   static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out))));
  return out;
}

PyMethodDef g_methods[] = {
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
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) {
  return _import_array();
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_kernels", "Internal routines of qesmorPitch, exposed for tests.", 0, g_methods,
    g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kernels() {
  return PyModuleDef_Init(&g_definition);
}
