// The host's convention for text files, which ASCII transfers follow: lines
// travel as CR LF on the wire and are stored the way the host's own programs
// expect them.
#pragma once

enum class TextConvention {
  // Lines end with LF; no byte marks the end of the text (POSIX systems).
  kLf,
  // Lines end with CR LF and a byte 0x1A ends the text (the C runtime's text
  // mode on Windows).
  kCrLfCtrlZ,
};

// The convention of this host.
TextConvention HostTextConvention();
