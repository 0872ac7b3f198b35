"""A synthetic LC-MS/MS run: peptide-like features eluting as Gaussian LC
peaks, each with an isotope envelope, sampled by MS1 survey scans; after each
survey scan up to `top_n` data-dependent MS2 scans fragment the most intense
MS1 peaks not seen recently (dynamic exclusion).

Everything is drawn from one seeded generator, so a `RunConfig` always gives
the same `Run`. The run holds float64 values as the model made them; what a
file stores (32-bit rounding, Numpress) is the writer's business.
"""
from __future__ import annotations

import dataclasses
import math
from typing import Optional

import numpy as np

NEUTRON = 1.00335483  # mass difference between isotopes (13C - 12C)
PROTON = 1.00727646688


@dataclasses.dataclass
class RunConfig:
    seed: int = 1
    n_scans: int = 300                  # spectra in the run (MS1 and MS2 together)
    rt_start: float = 0.5               # minutes
    rt_end: float = 12.0                # minutes
    n_features: int = 400               # peptide-like features over the run
    top_n: int = 6                      # MS2 scans after each MS1 scan, at most
    ms1_window: tuple[float, float] = (350.0, 1800.0)
    ms2_low: float = 100.0
    profile_ms1: bool = True            # MS1 stored as profile, else centroid
    profile_points: int = 7             # points per profile peak
    resolution: float = 30000.0         # m/z / FWHM of a profile peak
    noise_peaks: int = 40               # random low peaks per MS1 scan
    fragments: tuple[int, int] = (15, 60)  # fragment peaks per MS2 scan (min, max)
    activation: str = "HCD"             # HCD, CID, ETD or "mixed" (cycles through the three)
    polarity: str = "positive"          # positive, negative or "alternate" (per cycle)
    isolation: tuple[float, float] = (0.8, 0.8)  # lower and upper offsets (m/z)
    exclusion_minutes: float = 0.5      # dynamic exclusion time
    selected_ion_every: int = 1         # every k-th MS2 names its selected ion (others only the isolation window)
    min_precursor_intensity: float = 5e3
    ms3_every: int = 0                  # k > 0: every k-th MS2 is followed by an MS3 of its most intense fragment


@dataclasses.dataclass
class Precursor:
    selected_mz: Optional[float]        # None: the file names no selected ion
    isolation_target: float
    isolation_lower: float
    isolation_upper: float
    charge: int                         # 0: unknown (not written)
    intensity: float
    activation: str                     # HCD, CID, ETD
    collision_energy: Optional[float]   # None: not written
    source_position: int                # position of the spectrum the precursor was picked from

    @property
    def mz(self) -> float:
        """The precursor m/z a reader should report: the selected ion, else the isolation target."""
        return self.selected_mz if self.selected_mz is not None else self.isolation_target


@dataclasses.dataclass
class Spectrum:
    position: int                       # 0-based position in the run
    ms_level: int
    rt: float                           # minutes
    polarity: str                       # "positive" or "negative"
    centroid: bool
    window: tuple[float, float]
    injection_time: float               # ms
    mz: np.ndarray                      # float64, increasing
    intensity: np.ndarray               # float64
    precursor: Optional[Precursor] = None

    @property
    def tic(self) -> float:
        return float(self.intensity.sum())

    @property
    def base_peak(self) -> tuple[float, float]:
        if self.intensity.size == 0:
            return 0.0, 0.0
        i = int(np.argmax(self.intensity))
        return float(self.mz[i]), float(self.intensity[i])


@dataclasses.dataclass
class Run:
    config: RunConfig
    spectra: list[Spectrum]

    @property
    def ms1(self) -> list[Spectrum]:
        return [s for s in self.spectra if s.ms_level == 1]

    @property
    def ms2(self) -> list[Spectrum]:
        return [s for s in self.spectra if s.ms_level == 2]

    @property
    def peak_count(self) -> int:
        return sum(s.mz.size for s in self.spectra)


def isotope_envelope(mass: float, count: int = 5) -> np.ndarray:
    """Relative isotope abundances of a peptide of neutral mass `mass`: a
    Poisson law whose mean grows with the number of carbon atoms (about one
    13C expected per 1800 Da), normalised to the most abundant peak."""
    lam = mass / 1800.0
    k = np.arange(count)
    rel = np.exp(-lam) * lam ** k / np.array([math.factorial(int(i)) for i in k])
    return rel / rel.max()


class _Features:
    def __init__(self, cfg: RunConfig, rng: np.random.Generator):
        n = cfg.n_features
        span = cfg.rt_end - cfg.rt_start
        self.charge = rng.choice([1, 2, 2, 2, 3, 3, 4], size=n)
        lo, hi = cfg.ms1_window
        self.mono = rng.uniform(lo + 20, min(hi - 20, 1400.0), size=n)
        self.mass = (self.mono - PROTON) * self.charge
        self.apex = rng.uniform(cfg.rt_start + 0.02 * span, cfg.rt_end - 0.02 * span, size=n)
        self.sigma = rng.uniform(0.006, 0.02, size=n) * span
        self.abundance = 10 ** rng.uniform(4.0, 7.0, size=n)
        self.envelopes = [isotope_envelope(m) for m in self.mass]

    def peaks_at(self, rt: float, min_intensity: float):
        """Isotope peaks of every feature eluting at `rt`: (mz, intensity, feature, isotope)."""
        elution = self.abundance * np.exp(-0.5 * ((rt - self.apex) / self.sigma) ** 2)
        active = np.nonzero(elution > min_intensity)[0]
        mz, inten, feat, iso = [], [], [], []
        for f in active:
            env = self.envelopes[f]
            k = np.arange(env.size)
            mz.append(self.mono[f] + k * NEUTRON / self.charge[f])
            inten.append(elution[f] * env)
            feat.append(np.full(env.size, f))
            iso.append(k)
        if not mz:
            e = np.empty(0)
            return e, e, np.empty(0, dtype=int), np.empty(0, dtype=int)
        return np.concatenate(mz), np.concatenate(inten), np.concatenate(feat), np.concatenate(iso)


def _profile(mz: np.ndarray, inten: np.ndarray, cfg: RunConfig, rng: np.random.Generator):
    """Profile points around each centroid: a Gaussian sampled at `profile_points` points."""
    p = cfg.profile_points
    fwhm = mz / cfg.resolution
    offsets = (np.arange(p) - (p - 1) / 2) * (2.0 / (p - 1))  # -1 .. 1 FWHM
    pmz = (mz[:, None] + offsets[None, :] * fwhm[:, None]).ravel()
    pin = (inten[:, None] * np.exp(-4 * math.log(2) * offsets[None, :] ** 2)).ravel()
    order = np.argsort(pmz, kind="stable")
    return pmz[order], pin[order]


def _ms2_peaks(prec_mass: float, charge: int, cfg: RunConfig, rng: np.random.Generator, intensity: float):
    n = int(rng.integers(cfg.fragments[0], cfg.fragments[1] + 1))
    upper = max(cfg.ms2_low + 50.0, min(2000.0, prec_mass + 2 * PROTON))
    mz = np.sort(rng.uniform(cfg.ms2_low + 1.0, upper - 1.0, size=n))
    inten = intensity * 10 ** rng.uniform(-2.5, 0.0, size=n)
    return mz, inten


def make_run(cfg: RunConfig | None = None) -> Run:
    """Builds the run that `cfg` describes (deterministic in `cfg.seed`)."""
    cfg = cfg or RunConfig()
    rng = np.random.default_rng(cfg.seed)
    feats = _Features(cfg, rng)
    activations = ["HCD", "CID", "ETD"] if cfg.activation == "mixed" else [cfg.activation]
    energies = {"HCD": 30.0, "CID": 35.0, "ETD": None}
    cycles = max(1, cfg.n_scans // (1 + cfg.top_n))
    cycle_time = (cfg.rt_end - cfg.rt_start) / cycles
    spectra: list[Spectrum] = []
    excluded: list[tuple[float, float]] = []  # (mz, until rt)
    n_ms2 = 0
    cycle = 0
    while len(spectra) < cfg.n_scans:
        rt = cfg.rt_start + cycle * cycle_time
        polarity = cfg.polarity if cfg.polarity != "alternate" else ("positive", "negative")[cycle % 2]
        lo, hi = cfg.ms1_window
        mz, inten, feat, iso = feats.peaks_at(rt, 50.0)
        noise_mz = rng.uniform(lo, hi, size=cfg.noise_peaks)
        noise_in = 10 ** rng.uniform(1.5, 3.3, size=cfg.noise_peaks)
        mz = np.concatenate([mz, noise_mz])
        inten = np.concatenate([inten, noise_in])
        feat = np.concatenate([feat, np.full(cfg.noise_peaks, -1)])
        iso = np.concatenate([iso, np.zeros(cfg.noise_peaks, dtype=int)])
        keep = (mz > lo) & (mz < hi)
        mz, inten, feat, iso = mz[keep], inten[keep], feat[keep], iso[keep]
        order = np.argsort(mz, kind="stable")
        mz, inten, feat, iso = mz[order], inten[order], feat[order], iso[order]
        # Two-decimal-free values: round m/z to 1e-6 like a real centroider's output precision.
        mz = np.round(mz, 6)
        inten = np.round(inten, 2)
        ms1_pos = len(spectra)
        if cfg.profile_ms1:
            smz, sin = _profile(mz, inten, cfg, rng)
            smz, sin = np.round(smz, 6), np.round(sin, 2)
        else:
            smz, sin = mz, inten
        spectra.append(Spectrum(ms1_pos, 1, rt, polarity, not cfg.profile_ms1, (lo, hi),
                                float(np.round(rng.uniform(10, 50), 3)), smz, sin))
        # Data-dependent picks: most intense first, skipping excluded m/z.
        excluded = [(m, until) for m, until in excluded if until > rt]
        picks = []
        for i in np.argsort(-inten, kind="stable"):
            if len(picks) >= cfg.top_n or len(spectra) + len(picks) >= cfg.n_scans:
                break
            if inten[i] < cfg.min_precursor_intensity:
                break
            if any(abs(mz[i] - m) <= m * 10e-6 for m, _ in excluded):
                continue
            picks.append(int(i))
            excluded.append((float(mz[i]), rt + cfg.exclusion_minutes))
        for j, i in enumerate(picks):
            f = int(feat[i])
            charge = int(feats.charge[f]) if f >= 0 else 0
            target = float(mz[i])
            mono = round(float(feats.mono[f]), 6) if f >= 0 else target
            activation = activations[n_ms2 % len(activations)]
            named = (n_ms2 % cfg.selected_ion_every) == 0
            prec = Precursor(
                selected_mz=mono if named else None,
                isolation_target=target,
                isolation_lower=cfg.isolation[0],
                isolation_upper=cfg.isolation[1],
                charge=charge,
                intensity=float(inten[i]),
                activation=activation,
                collision_energy=energies[activation],
                source_position=ms1_pos,
            )
            neutral = (mono - PROTON) * (charge or 1)
            fmz, fin = _ms2_peaks(neutral, charge, cfg, rng, float(inten[i]) * 0.1)
            fmz, fin = np.round(fmz, 6), np.round(fin, 2)
            upper = min(2000.0, round(target * max(charge, 1) + 50.0))
            ms2_rt = rt + (j + 1) * cycle_time / (cfg.top_n + 2)
            ms2_position = len(spectra)
            spectra.append(Spectrum(ms2_position, 2, ms2_rt, polarity, True, (cfg.ms2_low, float(upper)),
                                    float(np.round(rng.uniform(20, 100), 3)), fmz, fin, prec))
            n_ms2 += 1
            if cfg.ms3_every and n_ms2 % cfg.ms3_every == 0 and fmz.size:
                # A multi-stage scan: the MS2 scan's most intense fragment, isolated and fragmented again.
                k = int(np.argmax(fin))
                ms3_prec = Precursor(selected_mz=float(fmz[k]), isolation_target=float(fmz[k]), isolation_lower=1.0,
                                     isolation_upper=1.0, charge=1, intensity=float(fin[k]), activation="HCD",
                                     collision_energy=55.0, source_position=ms2_position)
                tmz, tin = _ms2_peaks(float(fmz[k]) - PROTON, 1, cfg, rng, float(fin[k]) * 0.2)
                tmz, tin = np.round(tmz, 6), np.round(tin, 2)
                spectra.append(Spectrum(len(spectra), 3, ms2_rt + cycle_time / (cfg.top_n + 2) / 2, polarity, True,
                                        (cfg.ms2_low, float(min(2000.0, round(float(fmz[k]) + 50.0)))),
                                        float(np.round(rng.uniform(50, 150), 3)), tmz, tin, ms3_prec))
        cycle += 1
    return Run(cfg, spectra[:cfg.n_scans])
