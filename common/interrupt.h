#pragma once

namespace kelvo {

// Set once the user asks the run to stop (Ctrl-C); every wait of the tool then ends at once.
void requestInterrupt();
bool interruptRequested();
// Forgets an interrupt (tests only: the tool never takes one back).
void clearInterrupt();

// Exit status of an interrupted run, as a shell reports a run ended by SIGINT.
inline constexpr int kExitInterrupted = 130;

}  // namespace kelvo
