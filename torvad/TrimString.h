#pragma once

// Trims blanks and tabs on both ends in place and cuts the text at its first
// CR or LF; returns the start of the trimmed text.
char* TrimString(char* text);
