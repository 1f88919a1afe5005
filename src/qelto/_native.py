"""The native entries of the package. They hang off ``_qelto.query`` as its
``__self__``, so that ``_qelto`` keeps ``query`` as its one attribute."""

from typing import Any

import _qelto

entries: Any = getattr(_qelto.query, "__self__")
