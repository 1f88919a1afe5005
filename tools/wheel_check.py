"""Checks of the repaired wheel, and of the package as a venv imports it.

  wheel_check.py show WHEEL   auditwheel finds WHEEL consistent with a
                              manylinux tag, the one in its file name, and
                              it bundles libgomp
  wheel_check.py installed    (with a venv's python) qelto and _qelto come
                              from that venv's site-packages
"""
import re
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path


def fail(message):
    sys.exit(f"wheel_check: {message}")


def show(wheel):
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel], capture_output=True, text=True)
    report = " ".join((shown.stdout + shown.stderr).split())
    tag = re.search(r'platform tag: "(manylinux_\d+_\d+_x86_64)"', report)
    if shown.returncode != 0 or tag is None:
        fail(f"auditwheel names no manylinux tag for {wheel}: {report}")
    if tag.group(1) not in Path(wheel).name.split("-")[-1]:
        fail(f"{wheel} is not tagged {tag.group(1)}")
    bundled = [name for name in zipfile.ZipFile(wheel).namelist() if re.search(r"\.libs/libgomp[^/]*\.so", name)]
    if not bundled:
        fail(f"{wheel} bundles no libgomp")
    print(f"{Path(wheel).name}: {tag.group(1)}, bundles {', '.join(bundled)}")


def installed():
    import numpy

    import _qelto
    import qelto

    site = {Path(sysconfig.get_path(key)).resolve() for key in ("purelib", "platlib")}
    for module in (_qelto, qelto):
        if not any(place in Path(module.__file__).resolve().parents for place in site):
            fail(f"{module.__name__} is imported from {module.__file__}, outside {sys.prefix}'s site-packages")
    print(f"_qelto from {_qelto.__file__}, NumPy {numpy.__version__}")


if __name__ == "__main__":
    match sys.argv[1:]:
        case ["show", wheel]:
            show(wheel)
        case ["installed"]:
            installed()
        case _:
            fail(__doc__)
