"""Entry point: python -m zorvane_devserver [options]."""
from __future__ import annotations

import asyncio
import logging
import sys

from .config import parse_config
from .server import serve


def main(argv: list[str] | None = None) -> int:
    config = parse_config(argv)
    logging.basicConfig(level=logging.INFO if config.verbose else logging.WARNING, stream=sys.stderr,
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    asyncio.run(serve(config))
    return 0


if __name__ == "__main__":
    sys.exit(main())
