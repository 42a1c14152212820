#include "platform/text.h"

TextConvention HostTextConvention() { return TextConvention::kLf; }
