import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from server_fixture import devserver  # noqa: E402,F401  (session fixture shared by the tests here)
