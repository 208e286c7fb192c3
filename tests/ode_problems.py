"""Right-hand sides and the fixed set of integration problems on which the LSODA integrator is
compared with ODEPACK. Plain Python floats only, so that the recorded answers
(tests/data/make_odepack_reference.py) and the tests run exactly the same arithmetic.

A problem is a dict: id, rhs (a key of RHS), rhs_args, y0, t0, tout, rtol, atol, neq. The
integrated entries are y0[:neq]; the rest ride along and are seen by the right-hand side."""

# Model constants: photon-flux factor at 532 nm, cross-sections (m^2), lifetimes (s).
NU = 299792458 / 532e-9
FLUX_FACTOR = 1.5091901796421518e33 / NU
S12, S23, S45 = 1e-21, 5e-21, 1e-20
LIFETIMES = (2e-9, 5e-9, 1e-12, 1e-6, 1e-12)  # t21, t24, t32, t41, t54
R21, R24, R32, R41, R54 = (1.0 / tau for tau in LIFETIMES)
POPULATION_PARAMS = [S12, S23, S45, FLUX_FACTOR, *LIFETIMES]
PULSE = 5e-9
GROUND = [1e24, 0.0, 0.0, 0.0, 0.0]


def population_rhs(t, y):
    """Five-level populations y[0:5] under the intensity y[5] (same arithmetic as C++)."""
    phi = FLUX_FACTOR * y[5]
    return [
        R21 * y[1] - S12 * phi * y[0] + R41 * y[3],
        S12 * phi * y[0] + R32 * y[2] - R21 * y[1] - R24 * y[1] - S23 * phi * y[1],
        S23 * phi * y[1] - R32 * y[2],
        R24 * y[1] - R41 * y[3] - S45 * phi * y[3] + R54 * y[4],
        S45 * phi * y[3] - R54 * y[4],
    ]


def attenuation_rhs(t, y):
    """Intensity y[0] absorbed by the populations y[1:6]."""
    return [-y[0] * (S12 * y[1] + S23 * y[2] + S45 * y[4])]


def robertson(t, y):
    return [
        -0.04 * y[0] + 1e4 * y[1] * y[2],
        0.04 * y[0] - 1e4 * y[1] * y[2] - 3e7 * y[1] * y[1],
        3e7 * y[1] * y[1],
    ]


def van_der_pol(mu):
    return lambda t, y: [y[1], mu * (1.0 - y[0] * y[0]) * y[1] - y[0]]


def harmonic(t, y):
    return [y[1], -y[0]]


def decay(t, y):
    return [-0.5 * y[0]]


def lorenz(t, y):
    return [10.0 * (y[1] - y[0]), y[0] * (28.0 - y[2]) - y[1], y[0] * y[1] - 8.0 / 3.0 * y[2]]


RHS = {
    "population": lambda: population_rhs,
    "attenuation": lambda: attenuation_rhs,
    "robertson": lambda: robertson,
    "van_der_pol": van_der_pol,
    "harmonic": lambda: harmonic,
    "decay": lambda: decay,
    "lorenz": lambda: lorenz,
}


def rhs_of(problem):
    return RHS[problem["rhs"]](*problem["rhs_args"])


def problem(id, rhs, y0, tout, rtol, atol, t0=0.0, neq=None, rhs_args=()):
    return dict(id=id, rhs=rhs, rhs_args=list(rhs_args), y0=[float(v) for v in y0],
                t0=float(t0), tout=float(tout), rtol=float(rtol), atol=float(atol),
                neq=len(y0) if neq is None else neq)


# Mid-pulse steps start from the ground state driven for this many tenth-pulse steps; the
# start is made by whoever runs the problem list (ODEPACK for the recorded answers).
MID_PULSE_STEPS = 3


def fixed_problems(mid_pulse_start):
    """Every fixed problem. mid_pulse_start(intensity) gives the populations (with the
    intensity) after MID_PULSE_STEPS tenth-pulse steps from the ground state."""
    out = []
    for pieces in (4, 7, 13, 20):
        for intensity in (1e8, 1e9, 1e10, 1e11):
            out.append(problem(f"population ground {intensity:g} T/{pieces}", "population",
                               GROUND + [intensity], PULSE / pieces, 1e-6, 1e-6, neq=5))
    for intensity in (3e9, 1e11):
        t0 = MID_PULSE_STEPS * PULSE / 10
        out.append(problem(f"population mid-pulse {intensity:g}", "population",
                           mid_pulse_start(intensity), t0 + PULSE / 10, 1e-6, 1e-6, t0=t0,
                           neq=5))
    for dz in (1e-4, 2.5e-4, 5e-4):
        for intensity in (1e7, 1e11):
            out.append(problem(f"attenuation {intensity:g} dz={dz:g}", "attenuation",
                               [intensity, 8e23, 1.5e23, 1e20, 5e22, 1e19], dz, 1e-6, 1e-6,
                               neq=1))
    for tout, rtol, atol in ((40.0, 1e-4, 1e-8), (1e3, 1e-6, 1e-10), (0.4, 1e-8, 1e-12)):
        out.append(problem(f"robertson {tout:g} {rtol:g} {atol:g}", "robertson",
                           [1.0, 0.0, 0.0], tout, rtol, atol))
    for mu, tout, rtol, atol in ((10.0, 20.0, 1e-6, 1e-8), (10.0, 5.0, 1e-9, 1e-9),
                                 (1000.0, 3000.0, 1e-6, 1e-6), (1000.0, 800.0, 1e-8, 1e-8)):
        out.append(problem(f"van der Pol {mu:g} {tout:g} {rtol:g}", "van_der_pol",
                           [2.0, 0.0], tout, rtol, atol, rhs_args=[mu]))
    for rtol, atol in ((1.49012e-8, 1.49012e-8), (1e-3, 1e-6), (1e-11, 1e-11)):
        out.append(problem(f"harmonic {rtol:g}", "harmonic", [1.0, 0.0], 20.0, rtol, atol))
    for t0, tout in ((0.0, 10.0), (2.0, 0.5), (1.0, 1.0 + 1e-9)):
        out.append(problem(f"decay {t0:g} to {tout:.10g}", "decay", [3.0], tout, 1e-7, 1e-9,
                           t0=t0))
    out.append(problem("lorenz", "lorenz", [1.0, 1.0, 1.0], 2.0, 1e-12, 1e-12))
    out.append(problem("robertson excess work", "robertson", [1.0, 0.0, 0.0], 4e5, 1e-6,
                       1e-10))
    out.append(problem("population excess work", "population", GROUND + [1e11], 250 * PULSE,
                       1e-10, 1e-10, neq=5))
    return out


def random_problems(seed, default_rng):
    """Random Robertson, van der Pol and population problems drawn with NumPy's
    default_rng(seed). The draws are recorded with the answers: the tests never redraw them."""
    out = []
    rng = default_rng(seed)
    for k in range(30):
        rtol = 10 ** rng.uniform(-8, -3)
        atol = rtol * 10 ** rng.uniform(-4, 0)
        tout = 10 ** rng.uniform(-1, 2.5)
        out.append(problem(f"random robertson {k}", "robertson", [1.0, 0.0, 0.0], tout, rtol,
                           atol))
        mu = float(10 ** rng.uniform(0, 3))
        tout = rng.uniform(1, 30)
        out.append(problem(f"random van der Pol {k}", "van_der_pol", [2.0, 0.0], tout, 1e-6,
                           1e-6, rhs_args=[mu]))
    rng = default_rng(seed)
    for k in range(60):
        y0 = list(rng.dirichlet([1.0] * 5) * 1e24) + [10 ** rng.uniform(7, 11.5)]
        out.append(problem(f"random population {k}", "population", y0,
                           PULSE / int(rng.integers(4, 21)), 1e-6, 1e-6, neq=5))
    return out
