"""Regenerate src/VarloAlpha/Module/holidays.csv from WindPy's SHFE calendar.

Runs the package's own get_holidays; uses a real WindPy when importable, else the offline stand-in in
tools/windpy.
"""

import os
import shutil
import sys
import tempfile
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TARGET = ROOT / "src" / "VarloAlpha" / "Module" / "holidays.csv"


def write_holidays(w, path):
    """get_holidays with the WindPy client `w`, its holidays.csv moved to `path`."""
    from VarloAlpha.Module.Varlo_tradingday import get_holidays

    client = types.ModuleType("WindPy")
    client.w = w
    saved = sys.modules.get("WindPy")
    sys.modules["WindPy"] = client
    cwd = os.getcwd()
    with tempfile.TemporaryDirectory() as tmp:
        try:
            os.chdir(tmp)
            get_holidays()
        finally:
            os.chdir(cwd)
            if saved is None:
                del sys.modules["WindPy"]
            else:
                sys.modules["WindPy"] = saved
        shutil.move(Path(tmp) / "holidays.csv", path)
    return Path(path)


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    # Appended, not prepended: an installed WindPy must win over the stand-in.
    sys.path.append(str(ROOT / "tools" / "windpy"))
    from WindPy import w

    print(write_holidays(w, args[0] if args else TARGET))


if __name__ == "__main__":
    main()
