#!/bin/sh
# Run by scripts/matrix-root.sh inside a matrix root once its packages are in. Each release's
# snmpsim is the interoperability tests' second agent, but two releases ship it unable to
# start with the Python stack beside it; the least that lets the release's own snmpsim run is
# added under /usr/local (no file of a Debian package changes), only where it is missing:
#
#   - Debian 13 (snmpsim 0.4.5, pysnmp 4.4.12, pyasn1 0.6.1, Python 3.13): snmpsim imports
#     pyasn1.compat.octets, which pyasn1 0.6.1 removed; and pysnmp, after `import importlib`,
#     reads importlib.util, which Python 3.13 no longer loads with it, and falls back to the
#     module imp, which Python 3.12 removed. A module loaded at start-up (a .pth line) loads
#     importlib.util and provides pyasn1.compat.octets, as pyasn1 0.5 had it (byte strings),
#     to an import that finds no other.
#   - Debian unstable (snmpsim 1.2.2): it imports pysmi only to print pysmi's version in its
#     banner, and Debian ships no pysmi: a module that names no version stands in.
#
# Then it checks that the agent gets as far as its version or usage without a Python error.
# Exit status non-zero when it does not.
set -eu
command -v python3 >/dev/null || exit 0
site=$(python3 -c 'import site; print([p for p in site.getsitepackages() if p.startswith("/usr/local/")][0])')
mkdir -p "$site"

if [ -x /usr/bin/snmpsimd ] && ! python3 -c 'import pyasn1.compat.octets' 2>/dev/null; then
  cat >"$site/qrm_snmpsim_compat.py" <<'EOF'
# Loaded at start-up (qrm_snmpsim_compat.pth): what snmpsim 0.4 and pysnmp 4.4 still import.
# importlib.util is loaded now; pyasn1.compat.octets is made when it is imported and no
# installed pyasn1 has it (this finder comes after every other).
import importlib.abc
import importlib.machinery
import importlib.util
import sys


class _Octets(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    def find_spec(self, name, path=None, target=None):
        if name != "pyasn1.compat.octets":
            return None
        return importlib.util.spec_from_loader(name, self)

    def create_module(self, _module_spec):
        return None

    def exec_module(self, module):
        module.null = b""
        module.ints2octs = bytes
        module.int2oct = lambda x: bytes((x,))
        module.oct2int = lambda x: x
        module.octs2ints = lambda x: x
        module.str2octs = lambda x: x.encode("iso-8859-1")
        module.octs2str = lambda x: x.decode("iso-8859-1")
        module.isOctetsType = lambda s: isinstance(s, bytes)
        module.isStringType = lambda s: isinstance(s, str)
        module.ensureString = bytes


sys.meta_path.append(_Octets())
EOF
  echo "import qrm_snmpsim_compat" >"$site/qrm_snmpsim_compat.pth"
fi

if [ -x /usr/bin/snmpsim-command-responder ] && ! python3 -c 'import pysmi' 2>/dev/null; then
  mkdir -p "$site/pysmi"
  echo '__version__ = "(not installed)"' >"$site/pysmi/__init__.py"
fi

for agent in /usr/bin/snmpsimd /usr/bin/snmpsim-command-responder; do
  [ -x "$agent" ] || continue
  if "$agent" --version 2>&1 | grep -qE 'Traceback|^Error'; then
    echo "matrix-root-fixups: $agent does not start:" >&2
    "$agent" --version 2>&1 | tail -3 >&2
    exit 1
  fi
done
