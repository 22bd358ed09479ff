"""Rebuild holidays.csv in the working directory from the exchange's trading days.

    varlo-holidays

Needs the WindPy market-data client. The file takes effect once it lies beside the installed
VarloAlpha.Module package (it is read when Varlo_tradingday is first imported).
"""

import argparse
import sys


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="varlo-holidays", description=__doc__.split("\n")[0],
                                     epilog=__doc__.split("\n\n", 2)[2])
    parser.parse_args(argv)
    try:
        import WindPy  # noqa: F401
    except ImportError as missing:
        print(f"varlo-holidays: the WindPy client is needed and cannot be imported ({missing})", file=sys.stderr)
        return 1
    from VarloAlpha.Module.Varlo_tradingday import get_holidays

    get_holidays()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
