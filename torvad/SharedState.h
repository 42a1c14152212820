// The state that the server's threads share, its owners and its locks.
//
// Everything a session knows lives in its own FtpTbl, owned by its session
// thread. Beyond that the process shares exactly four things, each owned by
// one unit and guarded by that unit's own mutex:
//
//   owner (unit)                   mutex guards
//   -----------------------------  ---------------------------------------------
//   connection list (ConnectList)  the entries of running sessions, their
//                                  count; `terminating` is an atomic of its own
//   failure list (FailureList)     the login-failure count per address, and the
//                                  disconnect file that reaching the limit
//                                  writes (registry read and file creation run
//                                  under it, so one address is banned once)
//   passive port ring (PasvPorts)  the ring's cursor (the ring itself is built
//                                  before any session starts)
//   log (Log)                      standard output and standard error: every
//                                  log, access log and dump line, and the TLS
//                                  library's error print (ScopedLogLock)
//
// Lock order: the log lock is always the innermost lock; nothing is locked
// while it is held. The other three are never held together: take one of
// them, then at most the log lock. The registry store's own file lock (a
// lock between processes) is taken only under the failure list lock or none.
//
// Unlocked by design: the configuration table (g_config) and the in-memory
// disconnect entries are written while start-up reads the configuration, on
// the main thread before any session exists, and only read afterwards; the
// disconnect directory that discon_check caches is used by the accept loop
// alone. No unit of the server keeps function-local statics.
#pragma once
