#pragma once

// How much memory the process has held: its peak resident size so far, as the benchmark
// reports it.

namespace kestrove::system {

// The largest resident set the process has had so far, in MiB.
double peakResidentMegabytes();

} // namespace kestrove::system
