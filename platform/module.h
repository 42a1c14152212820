// Loadable modules and their resources in the Win32 shape.
//
// A module is a shared library. "ntdll.dll" is the one module the layer
// provides itself: it exports "ZwQuerySystemInformation" (platform/process.h).
//
// Resources: a module carries a resource of an integer type and id by
// exporting two data symbols, the bytes as "torva_resource_<type>_<id>" and
// their count as a uint32_t "torva_resource_<type>_<id>_size" (both numbers in
// decimal). A message table is type RT_MESSAGETABLE (11), id 1, in the layout of
// platform/eventlog.h. There is one language per module.
#pragma once

#include "platform/api/module.h"
#include "platform/wintypes.h"
