// The one clock of the program.
//
// Thread safety: now_seconds() may be called from any thread at any time.
#pragma once

// Seconds since an arbitrary fixed point, from the monotonic clock, so that a
// step of the wall clock can never make a latency negative or a rate wrong.
double now_seconds();
