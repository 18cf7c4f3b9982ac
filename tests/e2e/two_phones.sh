# The two-phone harness is in lib.sh now; scripts/demo and tests/bench still source this.
