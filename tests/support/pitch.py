"""The strongest frequency in a run of sound samples, for the tests that
measure notes: a Hann window, a long zero-padded FFT and a parabola through
the log magnitudes around the peak (well under a cent for a steady tone)."""
import numpy as np


def peak_frequency(x, rate=44100):
    x = x.astype(np.float64) * np.hanning(len(x))
    n = 1 << 20
    mag = np.abs(np.fft.rfft(x, n))
    k = int(np.argmax(mag))
    a, b, c = np.log(mag[k - 1:k + 2])
    return (k + 0.5 * (a - c) / (a - 2 * b + c)) * rate / n
