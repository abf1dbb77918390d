import os
import sys

# Developers may test a module built in a CMake tree instead of the installed
# one: PINNET_MODULE_DIR=build/dev/src/python pytest tests/python
_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_dev = os.environ.get("PINNET_MODULE_DIR")
if _dev:
    sys.path.insert(0, os.path.abspath(_dev))
    sys.path.insert(0, _ROOT)  # pinnet_tools from the source tree
