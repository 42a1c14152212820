#include "platform/text.h"

// Text files end their lines with CR LF, and a 0x1A may end the text, as the
// C runtime's text mode writes and reads them.
TextConvention HostTextConvention() { return TextConvention::kCrLfCtrlZ; }
