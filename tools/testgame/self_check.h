// The stand-in's check of its own image against the supported build's contracts. Runs on
// the main thread before any device exists.
#pragma once

// Prints one line per failed check to stdout; returns the number of failures.
int RunSelfCheck();
