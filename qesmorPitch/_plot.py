"""Figures of a pitch track: spectrogram with the F0 overlaid, strength and
probability underneath. matplotlib is imported here only."""
from __future__ import annotations

import math
import os
import sys
from typing import TYPE_CHECKING, Any, Optional

import numpy as np

from . import _frontend

if TYPE_CHECKING:  # annotations only: PitchTrack.plot imports this module
    from ._track import PitchTrack


def _require_matplotlib() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'qesmorPitch[plot]'") from None
    return matplotlib


def spectrogram(x: np.ndarray, sr: float, *, window_seconds: float = 0.046,
                hop_seconds: float = 0.005):
    """Magnitude in dB of a Hann-windowed STFT: (times, freqs, db of shape (freqs, times)).

    Frames are centred on their times (the signal is zero-padded by half a
    window), matching the centre times of a :class:`PitchTrack`.
    """
    n_fft = 1 << max(6, int(np.ceil(np.log2(window_seconds * sr))))
    hop = max(1, int(round(hop_seconds * sr)))
    padded = np.pad(np.asarray(x, dtype=np.float64), n_fft // 2)
    n = 1 + max(0, (padded.shape[0] - n_fft) // hop)
    frames = np.lib.stride_tricks.sliding_window_view(padded, n_fft)[::hop][:n]
    mag = np.abs(np.fft.rfft(frames * np.hanning(n_fft), axis=1)).T
    db = 20 * np.log10(np.maximum(mag, 1e-12 * max(float(mag.max()), 1e-300)))
    return np.arange(n) * hop / sr, np.fft.rfftfreq(n_fft, 1 / sr), db


def plot_track(pt: PitchTrack, y: Optional[np.ndarray] = None, *, channel: int = 0,
               path: Any = None, title: Optional[str] = None,
               max_freq: Optional[float] = None, reference: Any = None):
    """See :meth:`PitchTrack.plot`. `reference` is an optional (times, f0) pair
    drawn as the known contour."""
    if isinstance(max_freq, (bool, np.bool_)):
        # A flag reads as "limit the range or not"; True drew 0-1 Hz.
        raise TypeError(f"max_freq={max_freq!r} is no frequency: give one in Hz, e.g. "
                        f"max_freq={min(pt.sr / 2, 4 * pt.fmax):g}, or None for the default")
    if max_freq is not None and not (isinstance(max_freq, (int, float, np.number))
                                     and 0 < max_freq < float("inf")):
        raise ValueError(f"max_freq={max_freq!r} must be a frequency > 0 in Hz, "
                         f"e.g. max_freq={min(pt.sr / 2, 4 * pt.fmax):g}")
    n_channels = 1 if pt.f0.ndim == 1 else pt.f0.shape[0]
    if isinstance(channel, bool) or not isinstance(channel, (int, np.integer)) \
            or not 0 <= channel < n_channels:
        raise ValueError(f"channel={channel!r} must be an integer from 0 to {n_channels - 1} "
                         f"(the track has {n_channels} channel(s))")
    if y is not None and np.size(y) > 0:
        from ._track import _as_signal

        # The checks of track(): samples by channels, NaN, complex or a
        # 0-d y drew a blank, a two-sample or a garbled spectrogram, or
        # failed inside NumPy.
        y = _as_signal(y, n_channels if n_channels > 1 else None)[0]
    if y is not None and np.ndim(y) == 2 and n_channels > 1 and np.shape(y)[0] != n_channels:
        raise ValueError(f"y has {np.shape(y)[0]} channels and the track {n_channels}; "
                         f"give the signal the track was made from")
    if isinstance(path, (str, bytes, os.PathLike)):
        # Told before anything is drawn: '' was saved as a hidden '.png' in
        # the current folder, and a NUL failed as "embedded null byte",
        # which names no file.
        name = os.fsdecode(os.fspath(path))
        if not name:
            raise ValueError("path='' names no file; give one, e.g. path='track.png', "
                             "or None to draw without saving")
        if "\0" in name:
            raise ValueError(f"path={name!r} holds a NUL character, which no file name can "
                             f"hold; remove it")
    elif path is not None and not callable(getattr(path, "write", None)):
        # Else found by matplotlib once the figure was drawn, as "'int'
        # object has no attribute 'write'".
        raise TypeError(f"path={path!r} must be a file name (str, bytes or path-like), a "
                        f"file object open for writing, or None")
    matplotlib = _require_matplotlib()
    if path is not None and "matplotlib.pyplot" not in sys.modules:
        # Writing a file must not need a display; a caller who already uses
        # pyplot keeps the backend they chose.
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    def pick(a: np.ndarray) -> np.ndarray:
        return a if a.ndim == 1 else a[channel]

    f0, strength, prob = pick(pt.f0), pick(pt.strength), pick(pt.probability)
    top = max_freq if max_freq is not None else min(pt.sr / 2, 4 * pt.fmax)
    fig, (ax0, ax1) = plt.subplots(2, 1, figsize=(10, 6.2), sharex=True,
                                   gridspec_kw={"height_ratios": [2.6, 1]})
    duration = pt.times[-1] + pt.frame_length / (2 * pt.sr) if pt.n_frames else 0.0
    if y is not None:
        x = np.asarray(y, dtype=np.float64)
        if x.ndim == 2:
            # A one-channel track of several channels was made from their mix.
            x = x[channel] if n_channels > 1 else _frontend.mix_down(x)
        peak = float(np.max(np.abs(x))) if x.size else 0.0
        if peak > 0.0:
            # The colours are relative to the loudest bin: a power-of-two
            # scale changes no pixel, and keeps samples near the largest
            # double from overflowing the transform into a blank panel.
            x = np.ldexp(x, -math.frexp(peak)[1])
        duration = x.shape[0] / pt.sr
        t, freqs, db = spectrogram(x, pt.sr)
        keep = freqs <= top
        vmax = float(db.max()) if db.size else 0.0
        ax0.pcolormesh(t, freqs[keep], db[keep], shading="nearest", cmap="magma",
                       vmin=vmax - 80, vmax=vmax, rasterized=True)
    else:
        ax0.set_facecolor("#f4f4f4")
    if reference is not None:
        rt, rf = (np.asarray(a, dtype=np.float64) for a in reference)
        ax0.plot(rt, np.where(rf > 0, rf, np.nan), color="white", lw=3.0, alpha=0.55,
                 label="reference F0")
    ax0.plot(pt.times, f0, color="#29e0ff", lw=1.8, label="estimated F0")
    ax0.set_ylim(0, top)
    ax0.set_xlim(0, max(duration, 1e-3))
    ax0.set_ylabel("frequency (Hz)")
    ax0.legend(loc="upper right", fontsize=8, framealpha=0.7)
    voiced = float(np.mean(pick(pt.voiced))) if pt.n_frames else 0.0
    ax0.set_title(title if title is not None else
                  f"{pt.method} pitch track, {pt.n_frames} frames, {voiced:.0%} voiced",
                  fontsize=10)

    ax1.plot(pt.times, strength, color="#1f77b4", lw=1.2, label="strength")
    threshold = pt.params.get("voicing_threshold")
    if threshold is not None and np.isfinite(threshold):
        ax1.axhline(threshold, color="#1f77b4", ls="--", lw=0.8, label="voicing threshold")
    ax1.set_ylabel("strength")
    finite = strength[np.isfinite(strength)]
    ax1.set_ylim(min(0.0, float(finite.min())) if finite.size else 0.0,
                 max(1.05, float(finite.max()) * 1.05) if finite.size else 1.05)
    ax1.set_xlabel("time (s)")
    handles, labels = ax1.get_legend_handles_labels()
    if np.isfinite(prob).any():
        ax2 = ax1.twinx()
        ax2.plot(pt.times, prob, color="#d62728", lw=1.0, label="probability")
        ax2.set_ylabel("probability", color="#d62728")
        ax2.tick_params(axis="y", colors="#d62728")
        ax2.set_ylim(0, max(float(np.nanmax(prob)) * 1.1, 1e-6))
        h2, l2 = ax2.get_legend_handles_labels()
        handles, labels = handles + h2, labels + l2
    ax1.legend(handles, labels, loc="lower right", fontsize=8, framealpha=0.7, ncol=3)
    fig.tight_layout()
    if path is not None:
        try:
            _save(fig, path)
        except BaseException:
            # The caller never gets the figure to close: pyplot would keep
            # it, and a loop over failing paths would grow without bound.
            plt.close(fig)
            raise
    return fig


def _save(fig: Any, path: Any) -> None:
    """`fig` saved as savefig(path) names and formats it (the format from
    the suffix, else the default one, whose suffix is then added), but
    written beside it and renamed only once complete: a figure interrupted
    or failing halfway leaves no truncated file and any earlier one whole."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        fig.savefig(path, dpi=110)  # a file object: as it is
        return
    import matplotlib

    from ._audio import atomic_output

    name = os.fsdecode(os.fspath(path))
    fmt = os.path.splitext(name)[1][1:]
    if not fmt:
        fmt = matplotlib.rcParams["savefig.format"]
        name = name.rstrip(".") + "." + fmt
    with atomic_output(name, binary=True) as fh:
        fig.savefig(fh, format=fmt.lower(), dpi=110)
