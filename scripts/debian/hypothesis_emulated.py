"""pytest plugin for the emulated armv7l run (loaded with -p).

Under qemu user-mode emulation code runs several times slower than natively,
so Hypothesis's per-example deadline and its too-slow health check, which
measure time, are switched off for tests that do not choose settings of their
own.  Nothing else about the tests changes.
"""
from hypothesis import HealthCheck, settings

settings.register_profile("emulated", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("emulated")
