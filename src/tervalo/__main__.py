"""python -m tervalo [IMAGE ...]: the viewer (see tervalo.viewer)."""

import sys

from tervalo.viewer import main

sys.exit(main())
