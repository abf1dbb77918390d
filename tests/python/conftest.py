import os
import sys

# Developers may test a module built in a CMake tree instead of the installed
# one: PINNET_MODULE_DIR=build/dev/src/python pytest tests/python
_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_dev = os.environ.get("PINNET_MODULE_DIR")
if _dev:
    sys.path.insert(0, os.path.abspath(_dev))
    sys.path.insert(0, _ROOT)  # pinnet_tools from the source tree

# The test programs of the C++ build (model CLIs, readers, the binding probe)
# come from one build tree, $PINNET_TEST_BUILD_DIR or build/test, and are
# built there when missing: see support/programs.py.
from support import programs  # noqa: E402


def pytest_configure(config):
    def announce(line):
        capture = config.pluginmanager.get_plugin("capturemanager")
        reporter = config.pluginmanager.get_plugin("terminalreporter")
        if capture is not None and reporter is not None:
            with capture.global_and_fixture_disabled():
                reporter.write_line(line)

    programs.announce = announce
