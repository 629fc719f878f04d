import os
import sys

sys.path.insert(0, os.path.dirname(__file__))


# --- Hypothesis on an emulated interpreter ----------------------------------
# Under qemu-user (ORVEX_EMULATOR is set, see .ci/arm64-python.sh) everything
# runs ~15x slower: fewer examples keep the stage's time bounded, and a
# per-example deadline would only measure the emulator. `--hypothesis-profile
# emulated` selects the same settings natively, for comparing the two runs.
try:
    from hypothesis import HealthCheck, settings
except ImportError:  # hypothesis is a test extra; suites without it still run
    pass
else:
    settings.register_profile(
        "emulated",
        max_examples=20,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    if os.environ.get("ORVEX_EMULATOR"):
        settings.load_profile("emulated")

    def pytest_collection_modifyitems(items):
        # Tests that ask for more examples or a deadline of their own would
        # still take ~15x longer, or time out, under the emulator (and under
        # several threads per test): cap them to the profile here too,
        # whichever way it was chosen.
        current = getattr(settings, "get_current_profile_name", lambda: getattr(settings, "_current_profile", None))
        if current() != "emulated":
            return
        cap = settings.get_profile("emulated").max_examples
        for item in items:
            fn = getattr(getattr(item, "obj", None), "__func__", getattr(item, "obj", None))
            own = getattr(fn, "_hypothesis_internal_use_settings", None)
            if own is not None and (own.max_examples > cap or own.deadline is not None):
                fn._hypothesis_internal_use_settings = settings(
                    own, max_examples=min(own.max_examples, cap), deadline=None
                )
