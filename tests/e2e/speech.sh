# The speech helpers are in lib.sh now; scripts/demo and tests/bench still source this.
