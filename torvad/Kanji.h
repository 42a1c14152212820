// File names between UTF-8 on the wire and Shift_JIS on the local disk, and
// separator searches that never take a Shift_JIS second byte for a separator.
#pragma once

#include "torvad/FtpTbl.h"

// New heap strings (free with free()), or null after logging the failure.
char* Utf8ToSjis(const char* text);
char* SjisToUtf8(const char* text);

// First / last occurrence of `c`; double-byte aware while the session's lang is
// "ja", plain byte searches while it is "en".
char* SjisStrchr(const FtpTbl* ftp, const char* text, int c);
char* SjisStrrchr(const FtpTbl* ftp, const char* text, int c);
