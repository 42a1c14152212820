// The event log and message formatting in the Win32 shape.
//
// An event source is registered under HKEY_LOCAL_MACHINE
// "SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>" with
// "EventMessageFile" (REG_EXPAND_SZ, one path or several joined by ';'): the
// modules that hold its message tables (platform/module.h).
//
// Every report appends one line to the file named by TORVA_EVENTLOG (default
// /var/log/torva/events.log; its directory is created when missing):
//
//   YYYY-MM-DD HH:MM:SS <TAB> Information|Warning|Error <TAB> source <TAB> id <TAB> text
//
// in local time, with the event id as the event viewer shows it (the low 16
// bits in decimal) and the message formatted with the report's strings as
// inserts. The text loses its closing line break; line breaks inside it become
// single blanks, so that every event stays one line. A source without a
// message file, or an id that its tables lack, gives the event viewer's own
// text for that case, followed by the strings. The same text goes to syslog
// (facility daemon, the source as identifier, priority from the type).
#pragma once

#include "platform/api/eventlog.h"
#include "platform/module.h"
#include "platform/wintypes.h"
