# Types of the compiled module qesmorPitch.cy_impl (sources in src/).
#
# Arrays are borrowed, never copied: float64 vectors and matrices and intp lag
# vectors, any stride, writable; None stands for an empty one. Integers are
# converted to 32 bits. Mode strings must be exact str objects or None.
# Every function returns new arrays; pitch tracks have one row per frame, or
# shape (0,) when the signal has no frame.
from typing import Optional, Tuple

import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]
_Intp = npt.NDArray[np.intp]
_Vec = Optional[npt.NDArray[np.float64]]
_Lags = Optional[npt.NDArray[np.intp]]

def calc_qesmor_core_cy(
    data: _Vec, window_size: int, hop_size: int, search_sample: _Lags
) -> Tuple[_F64, _F64]: ...
def calc_qesmor_negaposi_core_cy(
    data_posi: _Vec, data_nega: _Vec, window_size: int, hop_size: int, search_sample: _Lags
) -> Tuple[_F64, _F64]: ...
def calc_Pitch_core_cy(
    data: _Vec,
    fs: float,
    window_size: int,
    hop_size: int,
    search_sample: _Lags,
    pp_mode: Optional[str],
    qesmor_smooth: int,
    pitch_detect_mode: Optional[str],
    pitch_detect_thre: float,
    interpolator_mode: Optional[str],
) -> _F64: ...
def calc_Pitch_negaposi_core_cy(
    data_posi: _Vec,
    data_nega: _Vec,
    fs: float,
    window_size: int,
    hop_size: int,
    search_sample: _Lags,
    pp_mode: Optional[str],
    qesmor_smooth: int,
    pitch_detect_mode: Optional[str],
    pitch_detect_thre: float,
    interpolator_mode: Optional[str],
) -> _F64: ...
def _prev_first_up_zero(data: _Vec) -> _F64: ...
def create_transition_matrix_cy(n_periods: int, fs: float, sigma: float) -> _F64: ...
def calc_Pitch_bayes_core_cy(
    data: _Vec,
    fs: float,
    window_size: int,
    hop_size: int,
    search_sample: _Lags,
    pp_mode: Optional[str],
    alpha: float,
    sigma: float,
    interpolator_mode: Optional[str],
) -> _F64: ...
def calc_Pitch_bayes_negaposi_core_cy(
    data_posi: _Vec,
    data_nega: _Vec,
    fs: float,
    window_size: int,
    hop_size: int,
    search_sample: _Lags,
    pp_mode: Optional[str],
    alpha: float,
    sigma: float,
    interpolator_mode: Optional[str],
) -> _F64: ...
def viterbi_cy(
    log_likelihood: Optional[npt.NDArray[np.float64]],
    log_A: Optional[npt.NDArray[np.float64]],
    beta: float,
) -> _Intp: ...
def calc_Pitch_viterbi_core_cy(
    data: _Vec,
    fs: float,
    window_size: int,
    hop_size: int,
    search_sample: _Lags,
    pp_mode: Optional[str],
    beta: float,
    sigma: float,
    interpolator_mode: Optional[str],
) -> _F64: ...
def calc_Pitch_viterbi_negaposi_core_cy(
    data_posi: _Vec,
    data_nega: _Vec,
    fs: float,
    window_size: int,
    hop_size: int,
    search_sample: _Lags,
    pp_mode: Optional[str],
    beta: float,
    sigma: float,
    interpolator_mode: Optional[str],
) -> _F64: ...
