#include "torvad/TrimString.h"

#include "torvad/Log.h"

char* TrimString(char* text) {
  TRACE_START("TrimString", "TrimString");
  char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  char* end = p;
  while (*end != '\0' && *end != '\r' && *end != '\n') ++end;
  *end = '\0';
  while (end > p && (end[-1] == ' ' || end[-1] == '\t')) *--end = '\0';
  TRACE_END("TrimString", "TrimString");
  return p;
}
