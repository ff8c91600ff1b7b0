// The instrument simulator's core, for the vpivg-sim program, the host's demo and the tests, so
// that all of them drive the same instrument: the instrument's values and report text, the
// send loop with its faults and polls, the capture format with record and replay, and the lines.
#pragma once

#include "capture.hpp"
#include "instrument.hpp"
#include "lines.hpp"
#include "simulator.hpp"
