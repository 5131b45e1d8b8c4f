// The core's helper thread on Win32: a second thread that bitsliced DES and Triple-DES
// decryption shares long runs with (KxCpu.h), lent where the machine has more than one core.
#pragma once

// Lends the helper to the core; call it before any other thread runs. The thread itself is
// made at its first use and kept for the life of the process; where the system refuses it,
// the core does all the work on the decrypting thread, as with one core.
void LendHelperThread();
