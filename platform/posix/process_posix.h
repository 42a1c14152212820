// What the layer's other units take from the process unit.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.h"

// The process list behind "ZwQuerySystemInformation".
NTSTATUS NTAPI QuerySystemInformationPosix(ULONG information_class, void* buffer, ULONG length,
                                           ULONG* return_length);

// What /proc tells of one process. False when it does not exist.
struct ProcStat {
  pid_t ppid = 0;
  char state = '?';
  uint64_t start_time = 0;  // clock ticks since boot: with the pid, names one process
  ULONG threads = 0;
};
bool ReadProcStat(pid_t pid, ProcStat* out);

// True while the process with this id and start time exists and has not ended
// (a zombie has ended).
bool ProcessRunning(pid_t pid, uint64_t start_time);

// Splits a command line into arguments by the rules of the Windows C runtime.
std::vector<std::string> SplitCommandLine(const char* p);

// Runs a program found on PATH with its standard input and error on /dev/null
// and collects its standard output. Returns its exit status, or -1 with the
// last error when it could not be started (or was ended by a signal).
int RunCaptured(const char* const* argv, std::string* output);

// Resets in a new child what a program must not inherit: the signal mask and
// every signal disposition. Only async-signal-safe calls: usable after fork().
void ResetSignalsForExec();
